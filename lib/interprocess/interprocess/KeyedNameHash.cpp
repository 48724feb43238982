#include "interprocess/KeyedNameHash.h"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace interprocess {

namespace {

std::uint64_t rotate(std::uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

std::uint64_t little(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value |= std::uint64_t{bytes[i]} << (8 * i);
    }
    return value;
}

struct State {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = rotate(v1, 13) ^ v0;
        v0 = rotate(v0, 32);
        v2 += v3;
        v3 = rotate(v3, 16) ^ v2;
        v0 += v3;
        v3 = rotate(v3, 21) ^ v0;
        v2 += v1;
        v1 = rotate(v1, 17) ^ v2;
        v2 = rotate(v2, 32);
    }
    // Two rounds a word.
    void take(std::uint64_t word) {
        v3 ^= word;
        round();
        round();
        v0 ^= word;
    }
};

KeyedNameHash::Key drawKey() {
    KeyedNameHash::Key key{};
    std::size_t filled = 0;
    while (filled < key.size()) {
        const ssize_t got = ::getrandom(key.data() + filled, key.size() - filled, 0);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            break;
        }
    }
    if (filled < key.size()) {
        // A kernel without getrandom: the standard library's source, which
        // reads the kernel's random device.
        std::random_device device;
        for (auto& byte : key) {
            byte = static_cast<std::uint8_t>(device());
        }
    }
    return key;
}

}  // namespace

std::uint64_t KeyedNameHash::sipHash(const Key& key, const void* data, std::size_t size) {
    const std::uint64_t k0 = little(key.data(), 8);
    const std::uint64_t k1 = little(key.data() + 8, 8);
    State state{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL,
                k0 ^ 0x6c7967656e657261ULL, k1 ^ 0x7465646279746573ULL};
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const std::size_t whole = size - size % 8;
    for (std::size_t at = 0; at < whole; at += 8) {
        state.take(little(bytes + at, 8));
    }
    state.take(little(bytes + whole, size % 8) | (std::uint64_t{size & 0xff} << 56));
    state.v2 ^= 0xff;
    for (int i = 0; i < 4; ++i) {
        state.round();
    }
    return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

const KeyedNameHash::Key& KeyedNameHash::processKey() {
    static const Key key = drawKey();
    return key;
}

}  // namespace interprocess
