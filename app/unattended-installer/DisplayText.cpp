#include "DisplayText.h"

#include <cstdint>

#include "common/utils/StringConversions.h"

namespace quorvane::unattended {

namespace {

bool isHighSurrogate(std::uint32_t value) {
    return value >= 0xD800u && value <= 0xDBFFu;
}

bool isLowSurrogate(std::uint32_t value) {
    return value >= 0xDC00u && value <= 0xDFFFu;
}

}  // namespace

std::string toDisplayText(const std::wstring& text) {
    std::wstring joined;
    joined.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto value = static_cast<std::uint32_t>(text[i]);
        if (isHighSurrogate(value) && i + 1 < text.size() &&
            isLowSurrogate(static_cast<std::uint32_t>(text[i + 1]))) {
            const auto low = static_cast<std::uint32_t>(text[i + 1]);
            joined.push_back(
                static_cast<wchar_t>(0x10000u + ((value - 0xD800u) << 10) + (low - 0xDC00u)));
            ++i;
        } else {
            joined.push_back(text[i]);
        }
    }
    return common::wstringToUtf8(joined);
}

}  // namespace quorvane::unattended
