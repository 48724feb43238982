#include "platform/systemconfiguration/ProxyEnvironment.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>

namespace platform::systemconfiguration {

namespace {

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

std::optional<std::string> urlPart(CURLU* url, CURLUPart part, unsigned int flags = 0) {
    char* value = nullptr;
    if (curl_url_get(url, part, &value, flags) != CURLUE_OK || value == nullptr) {
        return std::nullopt;
    }
    std::string result(value);
    curl_free(value);
    return result;
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

std::optional<std::string> readProcessEnvironment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

std::optional<ProxyUrl> parseProxyUrl(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::string full = text;
    if (full.find("://") == std::string::npos) {
        full = "http://" + full;
    }
    std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, full.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
                    CURLUE_OK) {
        return std::nullopt;
    }
    ProxyUrl result;
    result.scheme = lowerCase(urlPart(url.get(), CURLUPART_SCHEME).value_or("http"));
    auto host = urlPart(url.get(), CURLUPART_HOST);
    if (!host || host->empty()) {
        return std::nullopt;
    }
    if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
        *host = host->substr(1, host->size() - 2);
    }
    result.host = *host;
    if (const auto port = urlPart(url.get(), CURLUPART_PORT)) {
        char* end = nullptr;
        const long number = std::strtol(port->c_str(), &end, 10);
        if (end == port->c_str() || *end != '\0' || number < 0 || number > 65535) {
            return std::nullopt;
        }
        result.port = static_cast<std::uint16_t>(number);
    }
    result.user = urlPart(url.get(), CURLUPART_USER, CURLU_URLDECODE).value_or("");
    result.password = urlPart(url.get(), CURLUPART_PASSWORD, CURLU_URLDECODE).value_or("");
    return result;
}

bool isSocksScheme(const std::string& scheme) {
    const std::string lower = lowerCase(scheme);
    return lower == "socks" || lower == "socks4" || lower == "socks4a" || lower == "socks5" ||
           lower == "socks5h";
}

}  // namespace platform::systemconfiguration
