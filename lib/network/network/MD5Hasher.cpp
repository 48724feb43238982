#include "network/MD5Hasher.h"

#include <openssl/evp.h>

#include <new>

namespace network {

MD5Hasher::MD5Hasher() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_, EVP_md5(), nullptr) != 1) {
        EVP_MD_CTX_free(context_);
        throw std::bad_alloc();
    }
}

MD5Hasher::~MD5Hasher() {
    EVP_MD_CTX_free(context_);
}

void MD5Hasher::Update(const void* data, std::size_t n) {
    EVP_DigestUpdate(context_, data, n);
}

core::NonInitializingBuffer<unsigned char> MD5Hasher::Final() {
    core::NonInitializingBuffer<unsigned char> digest(kDigestSize);
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_, digest.data(), &size);
    digest.resize(size);
    return digest;
}

}  // namespace network
