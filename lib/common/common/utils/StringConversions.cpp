#include "common/utils/StringConversions.h"

#include <cstdint>

namespace common {

namespace {

static_assert(sizeof(wchar_t) == 4, "wide characters hold UTF-32");

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0u) == 0x80u;
}

// Decodes one code point at `index`, advancing it past the bytes used. An
// invalid sequence gives the replacement character and advances past its
// maximal valid prefix (at least one byte), as Unicode recommends.
char32_t decodeOne(std::string_view text, std::size_t& index) {
    const auto byte = static_cast<unsigned char>(text[index]);
    if (byte < 0x80u) {
        ++index;
        return byte;
    }
    std::size_t length = 0;
    char32_t value = 0;
    // The allowed range of the second byte narrows for the first bytes whose
    // sequences would be overlong, surrogates or above U+10FFFF.
    unsigned char low = 0x80u, high = 0xBFu;
    if (byte >= 0xC2u && byte <= 0xDFu) {
        length = 2;
        value = byte & 0x1Fu;
    } else if (byte >= 0xE0u && byte <= 0xEFu) {
        length = 3;
        value = byte & 0x0Fu;
        if (byte == 0xE0u) {
            low = 0xA0u;
        } else if (byte == 0xEDu) {
            high = 0x9Fu;
        }
    } else if (byte >= 0xF0u && byte <= 0xF4u) {
        length = 4;
        value = byte & 0x07u;
        if (byte == 0xF0u) {
            low = 0x90u;
        } else if (byte == 0xF4u) {
            high = 0x8Fu;
        }
    } else {
        ++index;
        return kReplacementCharacter;
    }
    ++index;
    for (std::size_t i = 1; i < length; ++i) {
        if (index >= text.size()) {
            return kReplacementCharacter;
        }
        const auto next = static_cast<unsigned char>(text[index]);
        if (!isContinuation(next) || (i == 1 && (next < low || next > high))) {
            return kReplacementCharacter;
        }
        value = (value << 6) | (next & 0x3Fu);
        ++index;
    }
    return value;
}

void encodeOne(char32_t value, std::string& out) {
    if ((value >= 0xD800u && value <= 0xDFFFu) || value > 0x10FFFFu) {
        value = kReplacementCharacter;
    }
    if (value < 0x80u) {
        out.push_back(static_cast<char>(value));
    } else if (value < 0x800u) {
        out.push_back(static_cast<char>(0xC0u | (value >> 6)));
        out.push_back(static_cast<char>(0x80u | (value & 0x3Fu)));
    } else if (value < 0x10000u) {
        out.push_back(static_cast<char>(0xE0u | (value >> 12)));
        out.push_back(static_cast<char>(0x80u | ((value >> 6) & 0x3Fu)));
        out.push_back(static_cast<char>(0x80u | (value & 0x3Fu)));
    } else {
        out.push_back(static_cast<char>(0xF0u | (value >> 18)));
        out.push_back(static_cast<char>(0x80u | ((value >> 12) & 0x3Fu)));
        out.push_back(static_cast<char>(0x80u | ((value >> 6) & 0x3Fu)));
        out.push_back(static_cast<char>(0x80u | (value & 0x3Fu)));
    }
}

}  // namespace

std::wstring utf8ToWString(std::string_view text) {
    std::wstring result;
    result.reserve(text.size());
    std::size_t index = 0;
    while (index < text.size()) {
        result.push_back(static_cast<wchar_t>(decodeOne(text, index)));
    }
    return result;
}

std::string wstringToUtf8(std::wstring_view text) {
    std::string result;
    result.reserve(text.size());
    for (const wchar_t character : text) {
        encodeOne(static_cast<char32_t>(static_cast<std::uint32_t>(character)), result);
    }
    return result;
}

}  // namespace common
