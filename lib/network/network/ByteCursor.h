#pragma once

#include <cstdint>

namespace network {

// A fixed byte range being filled or consumed from its start.
class ByteCursor {
public:
    ByteCursor(unsigned char* start, std::uint64_t length);

    // Copies as much of `n` bytes as fits; true when all of them did.
    bool Write(const void* data, std::uint64_t n);
    // Copies out as much of `n` bytes as is left; true when all of them were.
    bool Read(void* out, std::uint64_t n);

    std::uint64_t Remaining() const { return remaining_; }
    const unsigned char* Cursor() const { return cursor_; }

private:
    unsigned char* start_;
    std::uint64_t remaining_;
    unsigned char* cursor_;
};

}  // namespace network
