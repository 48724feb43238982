#include "network/SHA1Hasher.h"

#include <openssl/evp.h>

#include <new>

namespace network {

SHA1Hasher::SHA1Hasher() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_, EVP_sha1(), nullptr) != 1) {
        EVP_MD_CTX_free(context_);
        throw std::bad_alloc();
    }
}

SHA1Hasher::~SHA1Hasher() {
    EVP_MD_CTX_free(context_);
}

void SHA1Hasher::Update(const void* data, std::size_t n) {
    EVP_DigestUpdate(context_, data, n);
}

core::NonInitializingBuffer<unsigned char> SHA1Hasher::Final() {
    core::NonInitializingBuffer<unsigned char> digest(kDigestSize);
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_, digest.data(), &size);
    digest.resize(size);
    return digest;
}

}  // namespace network
