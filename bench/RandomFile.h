#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

// Writes `size` pseudo-random bytes (the same ones every run) to `path`;
// `withoutNul` turns every NUL byte into 0x01.
inline void writeRandomFile(const std::string& path, std::size_t size, bool withoutNul = false) {
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(1 << 17);
    std::ofstream out(path, std::ios::binary);
    while (size > 0) {
        for (auto& word : block) {
            word = random();
        }
        auto* bytes = reinterpret_cast<char*>(block.data());
        const std::size_t count = std::min(size, block.size() * sizeof(std::uint64_t));
        if (withoutNul) {
            std::replace(bytes, bytes + count, '\0', '\x01');
        }
        out.write(bytes, static_cast<std::streamsize>(count));
        size -= count;
    }
}
