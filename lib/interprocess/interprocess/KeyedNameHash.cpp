#include "interprocess/KeyedNameHash.h"

#include <sodium.h>

#include <random>

namespace interprocess {

static_assert(crypto_shorthash_siphash24_KEYBYTES == std::tuple_size_v<KeyedNameHash::Key>);

std::uint64_t KeyedNameHash::sipHash(const Key& key, const void* data, std::size_t size) {
    unsigned char out[crypto_shorthash_siphash24_BYTES];
    crypto_shorthash_siphash24(out, static_cast<const unsigned char*>(data), size, key.data());
    // The hash's eight bytes, read as the little-endian number they are.
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof out; ++i) {
        value |= std::uint64_t{out[i]} << (8 * i);
    }
    return value;
}

const KeyedNameHash::Key& KeyedNameHash::processKey() {
    static const Key key = [] {
        Key drawn{};
        if (::sodium_init() >= 0) {
            ::randombytes_buf(drawn.data(), drawn.size());
        } else {
            // libsodium could not reach the kernel's random source: the
            // standard library's, which reads the kernel's random device.
            std::random_device device;
            for (auto& byte : drawn) {
                byte = static_cast<std::uint8_t>(device());
            }
        }
        return drawn;
    }();
    return key;
}

}  // namespace interprocess
