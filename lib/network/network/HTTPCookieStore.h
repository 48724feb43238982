#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "network/HTTPCookie.h"
#include "network/URL.h"

namespace network {

// The HTTP client's cookie jar, in memory. Callers set cookies by name
// (`SetCookie`, `DeleteCookie`), each bound to the origin of the next request
// the caller submits; responses set them as RFC 6265 section 5.3
// says, keyed by name, domain and path, and only for domains the response's
// host may speak for (never a public suffix, from the system's list). The store holds at most kMaxCookies cookies; a new one
// beyond that pushes out an expired one, else the oldest. Not locked: used
// from the network service's thread.
class HTTPCookieStore {
public:
    static constexpr std::size_t kMaxCookies = 1000;
    static constexpr std::size_t kMaxCookieBytes = 4096;

    // Results of the setters.
    static constexpr std::uint32_t kUnchanged = 0;
    static constexpr std::uint32_t kInserted = 1;
    static constexpr std::uint32_t kReplaced = 2;
    static constexpr std::uint32_t kErased = 3;

    // A caller's cookie, in "Set-Cookie" syntax; replaces every cookie of its
    // name, and an expiry in the past erases them. It is sent nowhere until
    // `BindCallerCookies` binds it.
    std::uint32_t SetCookie(const std::string& setCookieValue);
    // Binds the callers' cookies not yet bound to the origin of a request the
    // caller submitted: one without a domain to that host alone, one with a
    // domain to that domain when the host may speak for it (not a public
    // suffix); the others are dropped.
    void BindCallerCookies(const URL& origin);
    std::uint32_t DeleteCookie(const std::string& name);

    // A "Set-Cookie" header value of a response from `url`.
    std::uint32_t SetCookieFromResponse(const std::string& setCookieValue, const URL& url);

    // The "Cookie" request header for `url`; empty when nothing matches.
    std::string GetCookieHeader(const URL& url) const;

    std::size_t Size() const { return cookies_.size(); }

    // A cookie date as RFC 6265 section 5.1.1 reads it; nothing when it does
    // not name a valid date.
    static std::optional<HTTPCookie::TimePoint> ParseExpires(const std::string& text);
    static bool CookieMatches(const HTTPCookie& cookie, const URL& url);

private:
    std::uint32_t Store(HTTPCookie cookie, bool byNameOnly);
    void MakeRoom();

    std::vector<HTTPCookie> cookies_;
    std::uint64_t nextCreated_ = 0;
};

}  // namespace network
