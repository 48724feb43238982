#include "network/detail/EvpHasher.h"

#include <openssl/evp.h>

#include <new>

namespace network::detail {

EvpHasher::EvpHasher(const evp_md_st* algorithm, std::size_t digestSize)
    : context_(EVP_MD_CTX_new()), digestSize_(digestSize) {
    if (!context_ || EVP_DigestInit_ex(context_, algorithm, nullptr) != 1) {
        EVP_MD_CTX_free(context_);
        throw std::bad_alloc();
    }
}

EvpHasher::~EvpHasher() {
    EVP_MD_CTX_free(context_);
}

void EvpHasher::Update(const void* data, std::size_t n) {
    EVP_DigestUpdate(context_, data, n);
}

core::NonInitializingBuffer<unsigned char> EvpHasher::Final() {
    core::NonInitializingBuffer<unsigned char> digest(digestSize_);
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_, digest.data(), &size);
    digest.resize(size);
    return digest;
}

}  // namespace network::detail
