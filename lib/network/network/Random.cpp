#include "network/Random.h"

#include <openssl/rand.h>

#include <stdexcept>

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int_distribution.hpp>

namespace network {

namespace {

constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int kAlphabetSize = sizeof kAlphabet - 1;

// Secure random bytes; the process cannot go on safely without them.
void SecureRandomBytes(unsigned char* out, std::size_t n) {
    if (n != 0 && RAND_bytes(out, static_cast<int>(n)) != 1) {
        throw std::runtime_error("no secure random bytes available");
    }
}

}  // namespace

void MakeRandomBytes(unsigned char* out, std::size_t n, std::uint32_t seed) {
    if (seed == 0) {
        SecureRandomBytes(out, n);
        return;
    }
    boost::random::mt19937 generator(seed);
    boost::random::uniform_int_distribution<int> distribution(0, 255);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<unsigned char>(distribution(generator));
    }
}

std::string MakeRandomString(std::size_t n, std::uint32_t seed) {
    std::string text(n, '\0');
    if (seed == 0) {
        // Rejection sampling keeps every character equally likely.
        std::size_t filled = 0;
        unsigned char byte[64];
        while (filled < n) {
            SecureRandomBytes(byte, sizeof byte);
            for (unsigned char b : byte) {
                if (filled < n && b < 4 * kAlphabetSize) {
                    text[filled++] = kAlphabet[b % kAlphabetSize];
                }
            }
        }
        return text;
    }
    boost::random::mt19937 generator(seed);
    boost::random::uniform_int_distribution<int> distribution(0, kAlphabetSize - 1);
    for (auto& c : text) {
        c = kAlphabet[distribution(generator)];
    }
    return text;
}

}  // namespace network
