#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/cfnetwork/IProxyAutoConfiguration.h"

namespace platform::cfnetwork {

// The limits of fetching a script.
struct PacFetchLimits {
    std::chrono::milliseconds connectTimeout{5000};
    std::chrono::milliseconds totalTimeout{10000};
    std::size_t maxScriptSize = 1024 * 1024;
};

// A fetched script, or why there is none.
struct PacFetchResult {
    std::optional<std::string> script;
    std::string error;
};

// Fetches a script over "http", "https" or "file", never through a proxy,
// following at most five redirects to "http" or "https", within the limits.
// An HTTP status of 400 or above is a failure.
PacFetchResult fetchPacScript(const std::string& url, const PacFetchLimits& limits);

// A script's answer for a URL, or why there is none.
struct PacEvaluationResult {
    std::optional<std::string> proxies;
    std::string error;
};

// Runs the script's FindProxyForURL for `url` and its `host`. Evaluations are
// serialised process-wide: the script engine has one global context.
PacEvaluationResult evaluatePacScript(const std::string& script, const std::string& url,
                                      const std::string& host);

// The host of a URL; nothing when the URL cannot be parsed or has none.
std::optional<std::string> hostOfUrl(const std::string& url);

// Turns a script's answer ("PROXY a:3128; SOCKS b:1080; DIRECT") into the
// proxy array: one dictionary per known entry, in order. "PROXY" and "HTTP"
// give the HTTP type, "HTTPS" the HTTPS type, "SOCKS", "SOCKS4" and "SOCKS5"
// the SOCKS type, "DIRECT" the none type without host; a port is set only when
// the entry names one. Unknown or malformed entries are left out.
std::vector<ProxyArrayElement> parsePacProxies(const std::string& answer);

}  // namespace platform::cfnetwork
