#include "network/Base64.h"

namespace network {

std::string Base64Encode(const unsigned char* bytes, std::size_t length) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static const std::string kPadding[] = {"", "==", "="};
    std::string text;
    text.reserve((length + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const unsigned group = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        text += kAlphabet[group >> 18 & 63];
        text += kAlphabet[group >> 12 & 63];
        text += kAlphabet[group >> 6 & 63];
        text += kAlphabet[group & 63];
    }
    if (const std::size_t rest = length - i; rest != 0) {
        const unsigned group = bytes[i] << 16 | (rest == 2 ? bytes[i + 1] << 8 : 0);
        text += kAlphabet[group >> 18 & 63];
        text += kAlphabet[group >> 12 & 63];
        if (rest == 2) {
            text += kAlphabet[group >> 6 & 63];
        }
    }
    return text + kPadding[length % 3];
}

std::string Base64Encode(const std::string& bytes) {
    return Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string Base64Encode(const core::NonInitializingBuffer<unsigned char>& bytes) {
    return Base64Encode(bytes.data(), bytes.size());
}

}  // namespace network
