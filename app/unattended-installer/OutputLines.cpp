#include "OutputLines.h"

#include <algorithm>
#include <cstring>

namespace quorvane::unattended {

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
