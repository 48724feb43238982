#pragma once

#include <cstddef>
#include <memory>

#include "core/NonInitializingBuffer.h"

struct evp_md_ctx_st;

namespace network {

// A running SHA-1 digest.
class SHA1Hasher {
public:
    static constexpr std::size_t kDigestSize = 20;

    SHA1Hasher();
    ~SHA1Hasher();
    SHA1Hasher(const SHA1Hasher&) = delete;
    SHA1Hasher& operator=(const SHA1Hasher&) = delete;

    void Update(const void* data, std::size_t n);
    // The digest of everything fed so far; the hasher is spent afterwards.
    core::NonInitializingBuffer<unsigned char> Final();

private:
    evp_md_ctx_st* context_;
};

}  // namespace network
