#include "network/URL.h"

#include <cctype>
#include <cstring>
#include <locale>
#include <string_view>

#include "network/Hex.h"

namespace network {

namespace {

bool IsAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsHostChar(char c) {
    return IsAlnum(c) || c == '.' || c == '-';
}

bool IsPathChar(char c) {
    return IsAlnum(c) || (c != 0 && std::strchr("%._~!$&'()*+,;=:@-/", c) != nullptr);
}

bool IsFragmentChar(char c) {
    return IsAlnum(c) || (c != 0 && std::strchr("%!$&'()*+,;=._~:@/?-", c) != nullptr);
}

// The parser of the grammar: one position in the text, each rule consuming
// what it matches.
class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    bool Parse(URL& url) {
        return Scheme(url.scheme) && Literal("//") && Host(url.host) && (Port(url.port), true) &&
               (Run(IsPathChar, url.path), true) && Query(url.query) && Fragment(url.fragment) &&
               at_ == text_.size();
    }

private:
    bool Literal(std::string_view literal) {
        if (text_.substr(at_, literal.size()) != literal) {
            return false;
        }
        at_ += literal.size();
        return true;
    }

    bool Scheme(std::string& scheme) {
        for (std::string_view name : {"http", "ftp", "ws"}) {
            if (Literal(name)) {
                scheme = name;
                if (Literal("s")) {
                    scheme += 's';
                }
                return Literal(":");
            }
        }
        return false;
    }

    template <typename Predicate>
    void Run(Predicate accepts, std::string& out) {
        const std::size_t start = at_;
        while (at_ < text_.size() && accepts(text_[at_])) {
            ++at_;
        }
        out.append(text_.substr(start, at_ - start));
    }

    bool Host(std::string& host) {
        Run(IsHostChar, host);
        return !host.empty();
    }

    // ":" and digits fitting 32 bits; otherwise nothing is consumed.
    void Port(std::uint32_t& port) {
        if (at_ >= text_.size() || text_[at_] != ':') {
            return;
        }
        std::size_t end = at_ + 1;
        std::uint64_t value = 0;
        while (end < text_.size() && std::isdigit(static_cast<unsigned char>(text_[end]))) {
            value = value * 10 + static_cast<unsigned>(text_[end] - '0');
            if (value > 0xffffffffULL) {
                return;
            }
            ++end;
        }
        if (end == at_ + 1) {
            return;
        }
        port = static_cast<std::uint32_t>(value);
        at_ = end;
    }

    // One key character, an escape decoded; false when none is here.
    bool KeyChar(std::string& out) {
        if (at_ >= text_.size()) {
            return false;
        }
        const char c = text_[at_];
        if (c == '%') {
            if (at_ + 2 < text_.size() && HexDigitValue(text_[at_ + 1]) >= 0 && HexDigitValue(text_[at_ + 2]) >= 0) {
                out += static_cast<char>(HexDigitValue(text_[at_ + 1]) * 16 + HexDigitValue(text_[at_ + 2]));
                at_ += 3;
                return true;
            }
            return false;
        }
        if (c == ' ' || c == '?' || c == '=' || c == '&' || c == '#') {
            return false;
        }
        out += c;
        ++at_;
        return true;
    }

    bool Pair(std::vector<std::pair<std::string, std::string>>& query) {
        std::string key, value;
        if (!KeyChar(key)) {
            return false;
        }
        while (KeyChar(key)) {
        }
        if (Literal("=")) {
            while (KeyChar(value)) {
            }
        }
        query.emplace_back(std::move(key), std::move(value));
        return true;
    }

    bool Query(std::vector<std::pair<std::string, std::string>>& query) {
        if (!Literal("?")) {
            return true;
        }
        if (!Pair(query)) {
            return false;
        }
        while (Literal("&")) {
            if (!Pair(query)) {
                return false;
            }
        }
        return true;
    }

    bool Fragment(std::string& fragment) {
        if (Literal("#")) {
            Run(IsFragmentChar, fragment);
        }
        return true;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

// RFC 3986 section 5.2.4.
std::string RemoveDotSegments(std::string input) {
    std::string output;
    while (!input.empty()) {
        if (input.starts_with("../")) {
            input.erase(0, 3);
        } else if (input.starts_with("./")) {
            input.erase(0, 2);
        } else if (input.starts_with("/./")) {
            input.erase(0, 2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.starts_with("/../") || input == "/..") {
            input = input == "/.." ? "/" : input.substr(3);
            const auto slash = output.rfind('/');
            output.erase(slash == std::string::npos ? 0 : slash);
        } else if (input == "." || input == "..") {
            input.clear();
        } else {
            const auto next = input.find('/', 1);
            output += input.substr(0, next);
            input.erase(0, next == std::string::npos ? input.size() : next);
        }
    }
    return output;
}

// The pairs of a query text; a piece without "=" is a key with an empty
// value, pieces that do not decode are left out.
void AppendQuery(const std::string& text, std::vector<std::pair<std::string, std::string>>& query) {
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('&', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string piece = text.substr(start, end - start);
        const auto equals = piece.find('=');
        std::string key, value;
        if (!piece.empty() && URLDecode(piece.substr(0, equals), key) &&
            (equals == std::string::npos || URLDecode(piece.substr(equals + 1), value)) &&
            !key.empty()) {
            query.emplace_back(std::move(key), std::move(value));
        }
        start = end + 1;
    }
}

}  // namespace

void URL::ToLower() {
    const std::locale locale;
    for (auto* part : {&scheme, &host}) {
        for (auto& c : *part) {
            c = std::tolower(c, locale);
        }
    }
}

bool URL::IsDefaultPort() const {
    return ((scheme == "http" || scheme == "ws") && port == 80) ||
           ((scheme == "https" || scheme == "wss") && port == 443);
}

void URL::SetDefaultPort() {
    if (port != 0) {
        return;
    }
    if (scheme == "http" || scheme == "ws") {
        port = 80;
    } else if (scheme == "https" || scheme == "wss") {
        port = 443;
    }
}

void URL::JoinQuery(std::string& out, bool withFragment) const {
    out += path;
    for (std::size_t i = 0; i < query.size(); ++i) {
        out += i == 0 ? '?' : '&';
        out += URLEncode(query[i].first);
        if (!query[i].second.empty()) {
            out += '=';
            out += URLEncode(query[i].second);
        }
    }
    if (withFragment && !fragment.empty()) {
        out += '#';
        out += fragment;
    }
}

std::string URL::ToString() const {
    std::string text;
    if (!scheme.empty()) {
        text += scheme + "://";
    }
    text += host;
    if (port != 0) {
        text += ':' + std::to_string(port);
    }
    JoinQuery(text, true);
    return text;
}

std::string URL::Authority() const {
    return port == 0 ? host : host + ':' + std::to_string(port);
}

std::string URL::PathAndQuery() const {
    std::string target;
    JoinQuery(target, false);
    if (path.empty()) {
        target.insert(0, "/");
    }
    return target;
}

bool ParseURL(const std::string& text, URL& url) {
    return Parser(text).Parse(url);
}

void ParseRelativeURL(URL& url, const std::string& reference) {
    std::string rest = reference;
    std::string fragment;
    if (const auto hash = rest.find('#'); hash != std::string::npos) {
        fragment = rest.substr(hash + 1);
        rest.erase(hash);
    }
    std::string queryText;
    const auto question = rest.find('?');
    const bool hasQuery = question != std::string::npos;
    if (hasQuery) {
        queryText = rest.substr(question + 1);
        rest.erase(question);
    }

    // An absolute reference replaces the URL when it parses.
    const auto colon = rest.find(':');
    if (colon != std::string::npos && colon != 0 && rest.find('/') > colon &&
        std::isalpha(static_cast<unsigned char>(rest[0]))) {
        URL absolute;
        if (ParseURL(reference, absolute)) {
            url = std::move(absolute);
        }
        return;
    }

    if (rest.starts_with("//")) {
        // Network-path reference: a new authority under the same scheme.
        std::size_t at = 2;
        std::string host;
        while (at < rest.size() && IsHostChar(rest[at])) {
            host += rest[at++];
        }
        std::uint32_t port = 0;
        if (at < rest.size() && rest[at] == ':') {
            std::size_t end = at + 1;
            std::uint64_t value = 0;
            while (end < rest.size() && std::isdigit(static_cast<unsigned char>(rest[end])) &&
                   value <= 0xffffffffULL) {
                value = value * 10 + static_cast<unsigned>(rest[end++] - '0');
            }
            if (value <= 0xffffffffULL) {
                port = static_cast<std::uint32_t>(value);
                at = end;
            }
        }
        url.host = host;
        url.port = port;
        url.path = RemoveDotSegments(rest.substr(at));
        url.query.clear();
    } else if (rest.empty()) {
        if (hasQuery) {
            url.query.clear();
        }
    } else {
        if (rest.front() == '/') {
            url.path = RemoveDotSegments(rest);
        } else {
            const auto slash = url.path.rfind('/');
            const std::string base = slash == std::string::npos ? "/" : url.path.substr(0, slash + 1);
            url.path = RemoveDotSegments(base + rest);
        }
        url.query.clear();
    }
    if (hasQuery) {
        AppendQuery(queryText, url.query);
    }
    url.fragment = fragment;
}

std::string URLEncode(const std::string& text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (IsAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kDigits[byte >> 4];
            out += kDigits[byte & 15];
        }
    }
    return out;
}

bool URLDecode(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size()) {
                return false;
            }
            const int high = HexDigitValue(text[i + 1]);
            const int low = HexDigitValue(text[i + 2]);
            if (high < 0 || low < 0) {
                return false;
            }
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += c;
        }
    }
    return true;
}

}  // namespace network
