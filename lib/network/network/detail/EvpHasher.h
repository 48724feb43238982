#pragma once

#include <cstddef>

#include "core/NonInitializingBuffer.h"

struct evp_md_ctx_st;
struct evp_md_st;

namespace network::detail {

// A running digest over one of OpenSSL's message-digest algorithms.
class EvpHasher {
public:
    EvpHasher(const EvpHasher&) = delete;
    EvpHasher& operator=(const EvpHasher&) = delete;

    void Update(const void* data, std::size_t n);
    // The digest of everything fed so far; the hasher is spent afterwards.
    core::NonInitializingBuffer<unsigned char> Final();

protected:
    EvpHasher(const evp_md_st* algorithm, std::size_t digestSize);
    ~EvpHasher();

private:
    evp_md_ctx_st* context_;
    std::size_t digestSize_;
};

}  // namespace network::detail
