#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace testsupport {

// `text` compressed whole with zlib at its best level; `windowBits` chooses
// the wrapping: 31 gzip, 15 zlib, -15 raw deflate.
inline std::string compressed(const std::string& text, int windowBits) {
    z_stream stream{};
    if (::deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        return {};
    }
    std::string out(::deflateBound(&stream, static_cast<uLong>(text.size())) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = ::deflate(&stream, Z_FINISH);
    out.resize(result == Z_STREAM_END ? stream.total_out : 0);
    ::deflateEnd(&stream);
    return out;
}

// `size` bytes of pseudo-random letters a to p, the same every time: text
// that compresses to about half, not to nothing.
inline std::string compressibleText(std::size_t size) {
    std::string text;
    text.reserve(size);
    for (std::uint32_t x = 1; text.size() < size;) {
        x = x * 1103515245u + 12345u;
        text += static_cast<char>('a' + (x >> 16) % 16);
    }
    return text;
}

// `zeros` zero bytes gzip-compressed, made a piece at a time: a small coded
// body that claims a large decoded one, without holding the decoded one.
inline std::string gzipZeros(std::uint64_t zeros) {
    z_stream stream{};
    if (::deflateInit2(&stream, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        return {};
    }
    const std::string piece(1 << 20, '\0');
    std::string out;
    char buffer[1 << 16];
    for (std::uint64_t left = zeros;;) {
        const std::uint64_t now = std::min<std::uint64_t>(left, piece.size());
        left -= now;
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
        stream.avail_in = static_cast<uInt>(now);
        const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            ::deflate(&stream, flush);
            out.append(buffer, sizeof buffer - stream.avail_out);
        } while (stream.avail_out == 0);
        if (left == 0) {
            break;
        }
    }
    ::deflateEnd(&stream);
    return out;
}

}  // namespace testsupport
