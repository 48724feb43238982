#include "network/Hex.h"

namespace network {

std::string ToHex(const unsigned char* bytes, std::size_t length, bool upperCase) {
    const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

std::string ToHex(const std::string& bytes, bool upperCase) {
    return ToHex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), upperCase);
}

std::string ToHex(const core::NonInitializingBuffer<unsigned char>& bytes, bool upperCase) {
    return ToHex(bytes.data(), bytes.size(), upperCase);
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace network
