#include "platform/security/TrustedCertificates.h"

#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string_view>

namespace platform::security {

namespace {

std::mutex searchListMutex;
std::vector<std::string> searchList;

// The value of each Base64 digit; -1 for any other character.
struct Base64Table {
    signed char values[256];
    constexpr Base64Table() : values() {
        for (auto& value : values) {
            value = -1;
        }
        const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) {
            values[static_cast<unsigned char>(digits[i])] = static_cast<signed char>(i);
        }
    }
};
constexpr Base64Table kBase64;

// The bytes of a PEM body; nothing when it holds a character that is not
// Base64, white space or padding, or a digit after the padding.
std::optional<std::vector<unsigned char>> decodeBase64(std::string_view text) {
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() / 4 * 3);
    unsigned bits = 0;
    int count = 0;
    bool padded = false;
    for (const char c : text) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
            continue;
        }
        if (c == '=') {
            padded = true;
            continue;
        }
        const int value = kBase64.values[static_cast<unsigned char>(c)];
        if (value < 0 || padded) {
            return std::nullopt;
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<unsigned char>(bits >> count));
            bits &= (1u << count) - 1;
        }
    }
    return bytes;
}

// The whole file; empty when it cannot be read.
std::string readWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string text;
    if (file.seekg(0, std::ios::end)) {
        const auto size = file.tellg();
        if (size > 0 && file.seekg(0)) {
            text.resize(static_cast<std::size_t>(size));
            file.read(text.data(), size);
            text.resize(static_cast<std::size_t>(file.gcount()));
            return text;
        }
    }
    // Not seekable (a pipe, say): read it as it comes.
    file.clear();
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return text;
}

}  // namespace

bool TrustedCertificates::openKeychain(const std::string& path) {
    return std::ifstream(path).good();
}

std::vector<std::string> TrustedCertificates::copySearchList() {
    std::lock_guard lock(searchListMutex);
    return searchList;
}

void TrustedCertificates::setSearchList(std::vector<std::string> keychains) {
    std::lock_guard lock(searchListMutex);
    searchList = std::move(keychains);
}

std::optional<std::vector<std::vector<unsigned char>>> TrustedCertificates::copyCertificates(
    const std::vector<std::string>& keychains) {
    static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
    static const std::string kEnd = "-----END CERTIFICATE-----";
    std::vector<std::vector<unsigned char>> certificates;
    for (const auto& keychain : keychains) {
        const std::string text = readWhole(keychain);
        std::size_t at = 0;
        while ((at = text.find(kBegin, at)) != std::string::npos) {
            const std::size_t body = at + kBegin.size();
            const std::size_t end = text.find(kEnd, body);
            if (end == std::string::npos) {
                break;
            }
            if (auto der = decodeBase64(std::string_view(text).substr(body, end - body));
                der && !der->empty()) {
                certificates.push_back(std::move(*der));
            }
            at = end + kEnd.size();
        }
    }
    if (certificates.empty()) {
        return std::nullopt;
    }
    return certificates;
}

}  // namespace platform::security
