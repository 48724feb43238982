#include "network/ByteCursor.h"

#include <algorithm>
#include <cstring>

namespace network {

ByteCursor::ByteCursor(unsigned char* start, std::uint64_t length)
    : start_(start), remaining_(length), cursor_(start) {}

bool ByteCursor::Write(const void* data, std::uint64_t n) {
    const std::uint64_t count = std::min(n, remaining_);
    if (count != 0) {
        std::memcpy(cursor_, data, count);
    }
    cursor_ += count;
    remaining_ -= count;
    return count == n;
}

bool ByteCursor::Read(void* out, std::uint64_t n) {
    const std::uint64_t count = std::min(n, remaining_);
    if (count != 0) {
        std::memcpy(out, cursor_, count);
    }
    cursor_ += count;
    remaining_ -= count;
    return count == n;
}

}  // namespace network
