#pragma once

#include <cstddef>
#include <memory>

#include "core/NonInitializingBuffer.h"

struct evp_md_ctx_st;

namespace network {

// A running MD5 digest.
class MD5Hasher {
public:
    static constexpr std::size_t kDigestSize = 16;

    MD5Hasher();
    ~MD5Hasher();
    MD5Hasher(const MD5Hasher&) = delete;
    MD5Hasher& operator=(const MD5Hasher&) = delete;

    void Update(const void* data, std::size_t n);
    // The digest of everything fed so far; the hasher is spent afterwards.
    core::NonInitializingBuffer<unsigned char> Final();

private:
    evp_md_ctx_st* context_;
};

}  // namespace network
