#include "OutputLines.h"

#include <algorithm>
#include <cstring>

namespace quorvane::unattended {

namespace {

bool isContinuation(unsigned char byte) {
    return byte >= 0x80 && byte <= 0xBF;
}

// How much of `line` holds whole characters when `next` follows it: all of
// it, or less the start of a character that runs past its end, well formed
// as far as it is seen. Bytes that are no UTF-8 are kept as they are.
std::size_t wholeCharacters(const std::string& line, unsigned char next) {
    const std::size_t size = line.size();
    if (!isContinuation(next)) {
        return size;
    }
    // A lead byte at most three bytes back, continuation bytes after it.
    std::size_t lead = size;
    while (lead > 0 && size - lead < 3) {
        --lead;
        if (!isContinuation(static_cast<unsigned char>(line[lead]))) {
            break;
        }
    }
    if (lead == size) {
        return size;
    }
    const auto first = static_cast<unsigned char>(line[lead]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        low = first == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = first == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        low = first == 0xF0 ? 0x90 : 0x80;
        high = first == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    }
    const auto second = lead + 1 < size ? static_cast<unsigned char>(line[lead + 1]) : next;
    if (lead + length <= size || second < low || second > high) {
        return size;
    }
    return lead;
}

}  // namespace

void OutputLines::feed(const char* data, std::size_t size) {
    const char* const end = data + size;
    while (data < end) {
        const auto* lineBreak =
            static_cast<const char*>(std::memchr(data, '\n', static_cast<std::size_t>(end - data)));
        const auto length = static_cast<std::size_t>((lineBreak ? lineBreak : end) - data);
        if (!dropping_) {
            const std::size_t room = kLongestLine - line_.size();
            line_.append(data, std::min(length, room));
            if (length > room) {
                line_.resize(wholeCharacters(line_, static_cast<unsigned char>(data[room])));
                handler_(line_, true);
                line_.clear();
                dropping_ = true;
            }
        }
        if (lineBreak == nullptr) {
            return;
        }
        if (!dropping_) {
            handler_(line_, false);
        }
        line_.clear();
        dropping_ = false;
        data = lineBreak + 1;
    }
}

void OutputLines::finish() {
    if (!dropping_ && !line_.empty()) {
        handler_(line_, false);
    }
    line_.clear();
    dropping_ = false;
}

}  // namespace quorvane::unattended
