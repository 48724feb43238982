#pragma once

#include <cstddef>
#include <string>

namespace common {

// The alphabet of the program's random names.
inline constexpr const char* kAlphanumericAlphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// `count` characters, each drawn uniformly from `alphabet` with the system's
// random device. An empty or null alphabet gives an empty text.
std::string randomString(std::size_t count, const char* alphabet);

}  // namespace common
