#pragma once

#include <cstdint>
#include <string>

namespace network {

// `n` random bytes. Seed 0 draws from the system's secure random source
// (web-socket masks, Digest client nonces); any other seed gives the same
// bytes every time, for tests.
void MakeRandomBytes(unsigned char* out, std::size_t n, std::uint32_t seed = 0);

// `n` random characters of "0-9A-Za-z", drawn as MakeRandomBytes draws.
std::string MakeRandomString(std::size_t n, std::uint32_t seed = 0);

}  // namespace network
