#pragma once

#include <cstddef>
#include <string>

#include "network/detail/EvpHasher.h"

namespace network {

// A running MD5 digest.
class MD5Hasher : public detail::EvpHasher {
public:
    static constexpr std::size_t kDigestSize = 16;

    MD5Hasher();
};

// The 32 lower-case hexadecimal digits of the MD5 digest of `text`.
std::string MD5Hex(const std::string& text);

}  // namespace network
