#include "network/HTTPCookieStore.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include <libpsl.h>

#include <boost/algorithm/string.hpp>
#include <boost/asio/ip/address.hpp>

namespace network {

namespace {

using TimePoint = HTTPCookie::TimePoint;

TimePoint Now() {
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string Trim(const std::string& text) {
    return boost::algorithm::trim_copy_if(text, IsSpace);
}

bool IsDateDelimiter(unsigned char c) {
    return c == 0x09 || (c >= 0x20 && c <= 0x2f) || (c >= 0x3b && c <= 0x40) ||
           (c >= 0x5b && c <= 0x60) || (c >= 0x7b && c <= 0x7e);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// 1 to `most` digits at the start of `token` followed by nothing or a
// non-digit; their value, or -1.
int LeadingNumber(const std::string& token, std::size_t at, std::size_t least, std::size_t most,
                  std::size_t& end) {
    std::size_t i = at;
    int value = 0;
    while (i < token.size() && IsDigit(token[i]) && i - at < most) {
        value = value * 10 + (token[i] - '0');
        ++i;
    }
    if (i - at < least || (i < token.size() && IsDigit(token[i]))) {
        return -1;
    }
    end = i;
    return value;
}

bool ParseTime(const std::string& token, int& hour, int& minute, int& second) {
    std::size_t end = 0;
    hour = LeadingNumber(token, 0, 1, 2, end);
    if (hour < 0 || end >= token.size() || token[end] != ':') {
        return false;
    }
    minute = LeadingNumber(token, end + 1, 1, 2, end);
    if (minute < 0 || end >= token.size() || token[end] != ':') {
        return false;
    }
    second = LeadingNumber(token, end + 1, 1, 2, end);
    return second >= 0;
}

int MonthOf(const std::string& token) {
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    if (token.size() < 3) {
        return 0;
    }
    const std::string head = boost::algorithm::to_lower_copy(token.substr(0, 3));
    for (int i = 0; i < 12; ++i) {
        if (head == kMonths[i]) {
            return i + 1;
        }
    }
    return 0;
}

bool IsIPAddress(const std::string& host) {
    boost::system::error_code error;
    boost::asio::ip::make_address(host, error);
    return !error;
}

bool DomainMatches(const std::string& host, const std::string& domain) {
    if (host == domain) {
        return true;
    }
    return host.size() > domain.size() && boost::algorithm::ends_with(host, domain) &&
           host[host.size() - domain.size() - 1] == '.' && !IsIPAddress(host);
}

// The public-suffix list: the newer of the system's file and the library's
// own copy. Null when neither loads, and then no cookie may name a domain
// wider than its host.
const psl_ctx_t* PublicSuffixes() {
    static const std::unique_ptr<psl_ctx_t, decltype(&psl_free)> list(psl_latest(nullptr), &psl_free);
    return list.get();
}

// Whether a cookie from `host` may name `domain` (lower case, no leading
// dot): the host itself, or a domain above it that is not a public suffix
// (RFC 6265 section 5.3, steps 5 and 6).
bool DomainAcceptable(const std::string& host, const std::string& domain) {
    if (host == domain) {
        return true;
    }
    const psl_ctx_t* suffixes = PublicSuffixes();
    return DomainMatches(host, domain) && suffixes != nullptr &&
           psl_is_public_suffix(suffixes, domain.c_str()) == 0;
}

// A Domain attribute's value as it is compared: lower case, without a
// leading dot.
std::string NormalDomain(std::string domain) {
    if (!domain.empty() && domain.front() == '.') {
        domain.erase(0, 1);
    }
    boost::algorithm::to_lower(domain);
    return domain;
}

bool IsSecureScheme(const URL& url) {
    return url.scheme == "https" || url.scheme == "wss";
}

bool PathMatches(const std::string& requestPath, const std::string& cookiePath) {
    if (!boost::algorithm::starts_with(requestPath, cookiePath)) {
        return false;
    }
    return requestPath.size() == cookiePath.size() || cookiePath.back() == '/' ||
           requestPath[cookiePath.size()] == '/';
}

std::string RequestPath(const URL& url) {
    return url.path.empty() || url.path.front() != '/' ? "/" : url.path;
}

// The folder of the request path (RFC 6265 section 5.1.4).
std::string DefaultPath(const URL& url) {
    const std::string path = RequestPath(url);
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool HasControl(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
    });
}

}  // namespace

std::optional<TimePoint> HTTPCookieStore::ParseExpires(const std::string& text) {
    std::vector<std::string> tokens;
    std::string token;
    for (const char c : text) {
        if (IsDateDelimiter(static_cast<unsigned char>(c))) {
            if (!token.empty()) {
                tokens.push_back(std::move(token));
                token.clear();
            }
        } else {
            token += c;
        }
    }
    if (!token.empty()) {
        tokens.push_back(std::move(token));
    }
    int hour = -1, minute = -1, second = -1, day = -1, month = 0, year = -1;
    for (const auto& t : tokens) {
        std::size_t end = 0;
        int value = 0;
        int h = 0, m = 0, s = 0;
        if (hour < 0 && ParseTime(t, h, m, s)) {
            hour = h;
            minute = m;
            second = s;
            continue;
        }
        if (day < 0 && (value = LeadingNumber(t, 0, 1, 2, end)) >= 0) {
            day = value;
        } else if (month == 0 && (value = MonthOf(t)) != 0) {
            month = value;
        } else if (year < 0 && (value = LeadingNumber(t, 0, 2, 4, end)) >= 0) {
            year = value;
        }
    }
    if (year >= 70 && year <= 99) {
        year += 1900;
    } else if (year >= 0 && year <= 69) {
        year += 2000;
    }
    if (hour < 0 || day < 1 || day > 31 || month == 0 || year < 1601 || hour > 23 ||
        minute > 59 || second > 59) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year(year),
                                           std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok()) {
        return std::nullopt;
    }
    return std::chrono::time_point_cast<std::chrono::microseconds>(
        std::chrono::sys_days(date) + std::chrono::hours(hour) + std::chrono::minutes(minute) +
        std::chrono::seconds(second));
}

bool HTTPCookieStore::CookieMatches(const HTTPCookie& cookie, const URL& url) {
    if (cookie.expires && Now() >= *cookie.expires) {
        return false;
    }
    if (cookie.secure && !IsSecureScheme(url)) {
        return false;
    }
    if (!cookie.bound ||
        (cookie.hostOnly ? url.host != cookie.domain : !DomainMatches(url.host, cookie.domain))) {
        return false;
    }
    if (cookie.fromResponse) {
        return PathMatches(RequestPath(url), cookie.path);
    }
    return cookie.path.empty() || (!url.path.empty() && boost::algorithm::starts_with(url.path, cookie.path));
}

std::uint32_t HTTPCookieStore::SetCookie(const std::string& setCookieValue) {
    // A line break would end the "Cookie" request header early.
    if (setCookieValue.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        return kUnchanged;
    }
    std::vector<std::string> tokens;
    boost::algorithm::split(tokens, setCookieValue, [](char c) { return c == ';'; });
    HTTPCookie cookie;
    const std::string first = Trim(tokens.front());
    const auto equals = first.find('=');
    cookie.name = first.substr(0, equals);
    cookie.value = equals == std::string::npos ? first : first.substr(equals + 1);
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        const std::string token = Trim(tokens[i]);
        const auto at = token.find('=');
        if (at == std::string::npos) {
            if (boost::algorithm::iequals(token, "HttpOnly")) {
                cookie.httpOnly = true;
            } else if (boost::algorithm::iequals(token, "Secure")) {
                cookie.secure = true;
            }
            continue;
        }
        const std::string name = token.substr(0, at);
        const std::string value = token.substr(at + 1);
        if (boost::algorithm::iequals(name, "Domain")) {
            cookie.domain = value;
        } else if (boost::algorithm::iequals(name, "Path")) {
            cookie.path = value;
        } else if (boost::algorithm::iequals(name, "Expires")) {
            cookie.expires = ParseExpires(value);
        }
    }
    return Store(std::move(cookie), true);
}

void HTTPCookieStore::BindCallerCookies(const URL& origin) {
    if (origin.host.empty()) {
        return;
    }
    cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(),
                                  [&](HTTPCookie& cookie) {
                                      if (cookie.bound) {
                                          return false;
                                      }
                                      const std::string domain = NormalDomain(cookie.domain);
                                      if (!domain.empty() && !DomainAcceptable(origin.host, domain)) {
                                          return true;
                                      }
                                      cookie.hostOnly = domain.empty();
                                      cookie.domain = domain.empty() ? origin.host : domain;
                                      cookie.bound = true;
                                      return false;
                                  }),
                   cookies_.end());
}

std::uint32_t HTTPCookieStore::DeleteCookie(const std::string& name) {
    return SetCookie(name +
                     "=deleted; path=/; secure; HttpOnly; expires=Thu, 01 Jan 1970 00:00:00 GMT");
}

std::uint32_t HTTPCookieStore::SetCookieFromResponse(const std::string& setCookieValue,
                                                     const URL& url) {
    if (setCookieValue.size() > kMaxCookieBytes || HasControl(setCookieValue) || url.host.empty()) {
        return kUnchanged;
    }
    std::vector<std::string> tokens;
    boost::algorithm::split(tokens, setCookieValue, [](char c) { return c == ';'; });
    const auto equals = tokens.front().find('=');
    if (equals == std::string::npos) {
        return kUnchanged;
    }
    HTTPCookie cookie;
    cookie.fromResponse = true;
    cookie.name = Trim(tokens.front().substr(0, equals));
    cookie.value = Trim(tokens.front().substr(equals + 1));
    if (cookie.name.empty()) {
        return kUnchanged;
    }
    std::optional<TimePoint> maxAgeExpiry;
    std::string domain;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        const auto at = tokens[i].find('=');
        const std::string name = Trim(tokens[i].substr(0, at));
        const std::string value = at == std::string::npos ? "" : Trim(tokens[i].substr(at + 1));
        if (boost::algorithm::iequals(name, "Expires")) {
            if (auto expires = ParseExpires(value)) {
                cookie.expires = expires;
            }
        } else if (boost::algorithm::iequals(name, "Max-Age")) {
            const bool negative = !value.empty() && value.front() == '-';
            const std::string digits = negative ? value.substr(1) : value;
            if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsDigit)) {
                continue;
            }
            // Ten digits already reach past any date worth keeping.
            const long long seconds = digits.size() > 10 ? 9999999999LL : std::stoll(digits);
            maxAgeExpiry = negative || seconds == 0 ? TimePoint{}
                                                     : Now() + std::chrono::seconds(seconds);
        } else if (boost::algorithm::iequals(name, "Domain")) {
            domain = NormalDomain(value);
        } else if (boost::algorithm::iequals(name, "Path")) {
            cookie.path = !value.empty() && value.front() == '/' ? value : std::string();
        } else if (boost::algorithm::iequals(name, "Secure")) {
            cookie.secure = true;
        } else if (boost::algorithm::iequals(name, "HttpOnly")) {
            cookie.httpOnly = true;
        }
    }
    if (maxAgeExpiry) {
        cookie.expires = maxAgeExpiry;
    }
    // A secure cookie comes over a secure channel only.
    if (cookie.secure && !IsSecureScheme(url)) {
        return kUnchanged;
    }
    cookie.bound = true;
    if (domain.empty()) {
        cookie.hostOnly = true;
        cookie.domain = url.host;
    } else if (DomainAcceptable(url.host, domain)) {
        cookie.domain = domain;
    } else {
        return kUnchanged;
    }
    if (cookie.path.empty()) {
        cookie.path = DefaultPath(url);
    }
    return Store(std::move(cookie), false);
}

std::uint32_t HTTPCookieStore::Store(HTTPCookie cookie, bool byNameOnly) {
    const auto same = [&](const HTTPCookie& stored) {
        return stored.name == cookie.name &&
               (byNameOnly || (stored.fromResponse && stored.domain == cookie.domain &&
                               stored.path == cookie.path && stored.hostOnly == cookie.hostOnly));
    };
    const auto end = std::remove_if(cookies_.begin(), cookies_.end(), same);
    const bool existed = end != cookies_.end();
    cookies_.erase(end, cookies_.end());
    if (cookie.expires && *cookie.expires <= Now()) {
        return existed ? kErased : kUnchanged;
    }
    MakeRoom();
    cookie.created = nextCreated_++;
    cookies_.push_back(std::move(cookie));
    return existed ? kReplaced : kInserted;
}

void HTTPCookieStore::MakeRoom() {
    if (cookies_.size() < kMaxCookies) {
        return;
    }
    const auto now = Now();
    const auto expired = std::find_if(cookies_.begin(), cookies_.end(), [&](const HTTPCookie& c) {
        return c.expires && *c.expires <= now;
    });
    // Cookies are kept in creation order, so the front is the oldest.
    cookies_.erase(expired != cookies_.end() ? expired : cookies_.begin());
}

std::string HTTPCookieStore::GetCookieHeader(const URL& url) const {
    std::vector<const HTTPCookie*> matching;
    for (const auto& cookie : cookies_) {
        if (CookieMatches(cookie, url)) {
            matching.push_back(&cookie);
        }
    }
    // Longer paths first, then older cookies first (RFC 6265 section 5.4).
    std::stable_sort(matching.begin(), matching.end(), [](const HTTPCookie* a, const HTTPCookie* b) {
        return a->path.size() > b->path.size();
    });
    std::string header;
    for (const auto* cookie : matching) {
        if (!header.empty()) {
            header += "; ";
        }
        header += cookie->name + "=" + cookie->value;
    }
    return header;
}

}  // namespace network
