#pragma once

#include <cstddef>
#include <string>

#include "network/detail/EvpHasher.h"

namespace network {

// A running SHA-256 digest.
class SHA256Hasher : public detail::EvpHasher {
public:
    static constexpr std::size_t kDigestSize = 32;

    SHA256Hasher();
};

// The 64 lower-case hexadecimal digits of the SHA-256 digest of `text`.
std::string SHA256Hex(const std::string& text);

}  // namespace network
