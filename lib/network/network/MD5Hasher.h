#pragma once

#include <cstddef>

#include "network/detail/EvpHasher.h"

namespace network {

// A running MD5 digest.
class MD5Hasher : public detail::EvpHasher {
public:
    static constexpr std::size_t kDigestSize = 16;

    MD5Hasher();
};

}  // namespace network
