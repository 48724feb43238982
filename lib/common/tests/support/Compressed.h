#pragma once

#include <zlib.h>

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

}  // namespace testsupport
