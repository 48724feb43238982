#include "platform/security/TrustedCertificates.h"

#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

namespace platform::security {

namespace {

std::mutex searchListMutex;
std::vector<std::string> searchList;

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// The bytes of a PEM body; nothing when it holds a character that is not
// Base64, white space or padding.
std::optional<std::vector<unsigned char>> decodeBase64(const std::string& text) {
    std::vector<unsigned char> bytes;
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
        const int value = base64Value(c);
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
        std::ifstream file(keychain, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::size_t at = 0;
        while ((at = text.find(kBegin, at)) != std::string::npos) {
            const std::size_t body = at + kBegin.size();
            const std::size_t end = text.find(kEnd, body);
            if (end == std::string::npos) {
                break;
            }
            if (auto der = decodeBase64(text.substr(body, end - body)); der && !der->empty()) {
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
