#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace networktest {

// `body` in the chunked transfer coding, as chunks of at most `size` bytes;
// with the last (empty) chunk when `last`.
inline std::string Chunked(const std::string& body, std::size_t size = 100, bool last = true) {
    std::string wire;
    for (std::size_t at = 0; at < body.size(); at += size) {
        const std::string part = body.substr(at, size);
        char line[24];
        std::snprintf(line, sizeof line, "%zx\r\n", part.size());
        wire += line + part + "\r\n";
    }
    return last ? wire + "0\r\n\r\n" : wire;
}

}  // namespace networktest
