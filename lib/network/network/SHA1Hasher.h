#pragma once

#include <cstddef>

#include "network/detail/EvpHasher.h"

namespace network {

// A running SHA1 digest.
class SHA1Hasher : public detail::EvpHasher {
public:
    static constexpr std::size_t kDigestSize = 20;

    SHA1Hasher();
};

}  // namespace network
