#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace network {

// One stored cookie. Cookies that callers set match as they always did
// (domain as a suffix of the host, path as a prefix); cookies from responses
// match as RFC 6265 section 5.4 says (host-only or domain-match, path-match).
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
    // A response cookie without a Domain attribute: sent to its host only.
    bool hostOnly = false;
    std::uint64_t created = 0;  // order of creation, for the header order
};

}  // namespace network
