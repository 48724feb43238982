#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace network {

// One stored cookie. Every cookie matches hosts as RFC 6265 section 5.4 says
// (host-only or domain-match); cookies from responses also match paths that
// way, cookies that callers set by prefix. A caller's cookie is bound to a
// host by the first request after it was set, and sent nowhere before.
struct HTTPCookie {
    using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

    std::string name;
    std::string value;
    std::string domain;
    std::string path;
    std::optional<TimePoint> expires;
    bool secure = false;
    bool httpOnly = false;
    // Set for cookies from responses.
    bool fromResponse = false;
    // A cookie without a Domain attribute: sent to its host only.
    bool hostOnly = false;
    // A caller's cookie that a request's origin has checked and bound; always
    // set for cookies from responses.
    bool bound = false;
    std::uint64_t created = 0;  // order of creation, for the header order
};

}  // namespace network
