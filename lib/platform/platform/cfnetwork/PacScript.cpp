#include "platform/cfnetwork/PacScript.h"

#include <curl/curl.h>
#include <pacparser.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/cfnetwork/ProxyKeys.h"

namespace platform::cfnetwork {

namespace {

struct EasyDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

struct Download {
    std::string body;
    std::size_t limit = 0;
    bool tooLarge = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* download = static_cast<Download*>(user);
    const std::size_t bytes = size * count;
    if (download->body.size() + bytes > download->limit) {
        download->tooLarge = true;
        return 0;  // makes the transfer fail
    }
    download->body.append(data, bytes);
    return bytes;
}

// The script engine has one global context, so evaluations take turns; the
// error printer writes into the text of the evaluation under way.
std::mutex& engineMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string* engineErrors = nullptr;

int collectEngineError(const char* format, va_list args) {
    char buffer[1024];
    const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (engineErrors != nullptr) {
        engineErrors->append(buffer);
    }
    return written;
}

std::string trimmed(const std::string& text) {
    const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    const auto begin = std::find_if(text.begin(), text.end(), notSpace);
    const auto end = std::find_if(text.rbegin(), text.rend(), notSpace).base();
    return begin < end ? std::string(begin, end) : std::string();
}

std::string upperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

const char* typeOfKeyword(const std::string& keyword) {
    const std::string upper = upperCase(keyword);
    if (upper == "PROXY" || upper == "HTTP") {
        return kCFProxyTypeHTTP;
    }
    if (upper == "HTTPS") {
        return kCFProxyTypeHTTPS;
    }
    if (upper == "SOCKS" || upper == "SOCKS4" || upper == "SOCKS5") {
        return kCFProxyTypeSOCKS;
    }
    return nullptr;
}

// Splits "host", "host:port", "[v6]" or "[v6]:port"; false when malformed.
bool splitHostPort(const std::string& text, std::string& host, std::optional<long long>& port) {
    std::string rest;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) {
            return false;
        }
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return false;
        }
    } else {
        const auto colon = text.find(':');
        host = text.substr(0, colon);
        rest = colon == std::string::npos ? std::string() : text.substr(colon);
    }
    if (host.empty()) {
        return false;
    }
    if (rest.empty()) {
        port.reset();
        return true;
    }
    const std::string digits = rest.substr(1);
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return false;
    }
    const long long number = std::stoll(digits);
    if (number > 65535) {
        return false;
    }
    port = number;
    return true;
}

}  // namespace

PacFetchResult fetchPacScript(const std::string& url, const PacFetchLimits& limits) {
    PacFetchResult result;
    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    if (!curl) {
        result.error = "The script cannot be fetched: no transfer could be made.";
        return result;
    }
    Download download;
    download.limit = limits.maxScriptSize;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https,file");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L);
    // The script tells which proxy to use, so it is never fetched through one.
    curl_easy_setopt(handle, CURLOPT_PROXY, "");
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(limits.connectTimeout.count()));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.totalTimeout.count()));
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(limits.maxScriptSize));
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &download);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    const CURLcode code = curl_easy_perform(handle);
    if (download.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        result.error = "The script at " + url + " is larger than " +
                       std::to_string(limits.maxScriptSize) + " bytes.";
        return result;
    }
    if (code != CURLE_OK) {
        result.error =
            "The script at " + url + " cannot be fetched: " +
            (errorText[0] != '\0' ? std::string(errorText) : std::string(curl_easy_strerror(code)));
        return result;
    }
    result.script = std::move(download.body);
    return result;
}

PacEvaluationResult evaluatePacScript(const std::string& script, const std::string& url,
                                      const std::string& host) {
    PacEvaluationResult result;
    std::string errors;
    std::lock_guard lock(engineMutex());
    engineErrors = &errors;
    pacparser_set_error_printer(collectEngineError);
    if (pacparser_init() == 0) {
        result.error = "The script engine cannot be started. " + errors;
    } else {
        if (pacparser_parse_pac_string(script.c_str()) == 0) {
            result.error = "The script cannot be parsed. " + errors;
        } else if (const char* answer = pacparser_find_proxy(url.c_str(), host.c_str())) {
            // The answer belongs to the engine and goes with it.
            result.proxies = std::string(answer);
        } else {
            result.error = "The script gave no answer. " + errors;
        }
        pacparser_cleanup();
    }
    engineErrors = nullptr;
    result.error = trimmed(result.error);
    return result;
}

std::optional<std::string> hostOfUrl(const std::string& url) {
    std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(),
                                CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    char* host = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK || host == nullptr) {
        return std::nullopt;
    }
    std::string result(host);
    curl_free(host);
    if (result.size() >= 2 && result.front() == '[' && result.back() == ']') {
        result = result.substr(1, result.size() - 2);
    }
    if (result.empty()) {
        return std::nullopt;
    }
    return result;
}

std::vector<ProxyArrayElement> parsePacProxies(const std::string& answer) {
    std::vector<ProxyArrayElement> proxies;
    std::size_t start = 0;
    while (start <= answer.size()) {
        const auto end = std::min(answer.find(';', start), answer.size());
        const std::string entry = trimmed(answer.substr(start, end - start));
        start = end + 1;
        if (entry.empty()) {
            continue;
        }
        const auto blank = std::find_if(entry.begin(), entry.end(),
                                        [](unsigned char c) { return std::isspace(c) != 0; });
        const std::string keyword(entry.begin(), blank);
        const std::string address = trimmed(std::string(blank, entry.end()));
        if (upperCase(keyword) == "DIRECT" && address.empty()) {
            proxies.emplace_back(
                corefoundation::Dictionary{{kCFProxyTypeKey, std::string(kCFProxyTypeNone)}});
            continue;
        }
        const char* type = typeOfKeyword(keyword);
        std::string host;
        std::optional<long long> port;
        if (type == nullptr || !splitHostPort(address, host, port)) {
            continue;
        }
        corefoundation::Dictionary proxy{{kCFProxyTypeKey, std::string(type)},
                                         {kCFProxyHostNameKey, host}};
        if (port) {
            proxy[kCFProxyPortNumberKey] = *port;
        }
        proxies.emplace_back(std::move(proxy));
    }
    return proxies;
}

}  // namespace platform::cfnetwork
