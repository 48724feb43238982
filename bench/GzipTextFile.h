#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

// Writes `mebibytes` MiB of letters a to p, pseudo-random and the same every
// run (gzip takes them to about 57 %), to `path`, and the same gzip-coded to
// `codedPath`; false on a failure.
inline bool writeTextAndGzip(const std::string& path, const std::string& codedPath,
                             std::size_t mebibytes) {
    std::ofstream plain(path, std::ios::binary);
    std::ofstream coded(codedPath, std::ios::binary);
    z_stream stream{};
    if (::deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return false;
    }
    std::mt19937_64 random(42);
    std::string block(1 << 20, 'a');
    std::vector<char> out(1 << 20);
    for (std::size_t left = mebibytes; left > 0; --left) {
        for (std::size_t at = 0; at < block.size(); at += 16) {
            std::uint64_t word = random();
            for (std::size_t i = 0; i < 16; ++i, word >>= 4) {
                block[at + i] = static_cast<char>('a' + (word & 15));
            }
        }
        plain.write(block.data(), static_cast<std::streamsize>(block.size()));
        stream.next_in = reinterpret_cast<Bytef*>(block.data());
        stream.avail_in = static_cast<uInt>(block.size());
        do {
            stream.next_out = reinterpret_cast<Bytef*>(out.data());
            stream.avail_out = static_cast<uInt>(out.size());
            ::deflate(&stream, left == 1 ? Z_FINISH : Z_NO_FLUSH);
            coded.write(out.data(), static_cast<std::streamsize>(out.size() - stream.avail_out));
        } while (stream.avail_out == 0);
    }
    ::deflateEnd(&stream);
    return plain.good() && coded.good();
}
