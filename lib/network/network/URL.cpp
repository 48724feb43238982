#include "network/URL.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <locale>
#include <string_view>

#include <uriparser/Uri.h>

#include "network/Hex.h"

namespace network {

namespace {

bool IsAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsHostChar(char c) {
    return IsAlnum(c) || c == '.' || c == '-' || c == '_';
}

bool IsAcceptedScheme(std::string_view scheme) {
    for (std::string_view name : {"http", "https", "ftp", "ftps", "ws", "wss"}) {
        if (scheme == name) {
            return true;
        }
    }
    return false;
}

// Bytes RFC 3986 allows somewhere in a URI reference (section 2).
bool IsURIChar(char c) {
    return IsAlnum(c) || (c != 0 && std::strchr("-._~:/?#[]@!$&'()*+,;=%", c) != nullptr);
}

std::string_view Range(const UriTextRangeA& range) {
    return range.first == nullptr ? std::string_view()
                                  : std::string_view(range.first, range.afterLast - range.first);
}

// A reference read by uriparser, with the text its parts point into.
class ParsedReference {
public:
    explicit ParsedReference(std::string text) : text_(std::move(text)) {
        const char* error = nullptr;
        parsed_ = uriParseSingleUriExA(&uri_, text_.data(), text_.data() + text_.size(), &error) ==
                  URI_SUCCESS;
        if (!parsed_ && error != nullptr) {
            errorAt_ = static_cast<std::size_t>(error - text_.data());
        }
    }
    ParsedReference() = default;
    ~ParsedReference() { uriFreeUriMembersA(&uri_); }
    ParsedReference(const ParsedReference&) = delete;
    ParsedReference& operator=(const ParsedReference&) = delete;

    bool parsed() const { return parsed_; }
    // Where parsing stopped, when it failed.
    std::size_t errorAt() const { return errorAt_; }
    const std::string& text() const { return text_; }
    UriUriA& uri() { return uri_; }

    std::string ToString() const {
        int size = 0;
        if (uriToStringCharsRequiredA(&uri_, &size) != URI_SUCCESS) {
            return {};
        }
        std::string text(static_cast<std::size_t>(size) + 1, '\0');
        if (uriToStringA(text.data(), &uri_, size + 1, nullptr) != URI_SUCCESS) {
            return {};
        }
        text.resize(static_cast<std::size_t>(size));
        return text;
    }

private:
    std::string text_;
    UriUriA uri_{};
    bool parsed_ = false;
    std::size_t errorAt_ = 0;
};

// The byte at `at` of `text` and its place, counted from 1, for a reader.
std::string CharacterAt(std::string_view text, std::size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    std::string shown = byte >= 0x20 && byte < 0x7f ? "'" + std::string(1, text[at]) + "'"
                                                   : "the byte 0x" + ToHex(std::string(1, text[at]));
    return shown + " at position " + std::to_string(at + 1);
}

// The pairs of a query text: pieces between "&", each a key and, after
// the first "=", a value; "%XX" escapes decoded. Empty pieces are skipped.
std::vector<std::pair<std::string, std::string>> DecodeQuery(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> query;
    const auto decode = [](std::string_view part) {
        std::string out;
        for (std::size_t i = 0; i < part.size(); ++i) {
            if (part[i] == '%' && i + 2 < part.size() && HexDigitValue(part[i + 1]) >= 0 &&
                HexDigitValue(part[i + 2]) >= 0) {
                out += static_cast<char>(HexDigitValue(part[i + 1]) * 16 + HexDigitValue(part[i + 2]));
                i += 2;
            } else {
                out += part[i];
            }
        }
        return out;
    };
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = std::min(text.find('&', start), text.size());
        const std::string_view piece = text.substr(start, end - start);
        if (!piece.empty()) {
            const auto equals = piece.find('=');
            query.emplace_back(decode(piece.substr(0, equals)),
                               equals == std::string_view::npos ? std::string()
                                                                : decode(piece.substr(equals + 1)));
        }
        start = end + 1;
    }
    return query;
}

}  // namespace

void URL::ToLower() {
    // ASCII letters only: a locale would cost a facet lookup per letter.
    for (auto* part : {&scheme, &host}) {
        for (auto& c : *part) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
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
    if (!queryText.empty() && DecodeQuery(queryText) == query) {
        // The query as it was written, while the pairs are unchanged.
        out += '?';
        out += queryText;
    } else {
        for (std::size_t i = 0; i < query.size(); ++i) {
            out += i == 0 ? '?' : '&';
            out += URLEncode(query[i].first);
            if (!query[i].second.empty()) {
                out += '=';
                out += URLEncode(query[i].second);
            }
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
    std::string target(path.empty() ? "/" : "");
    JoinQuery(target, false);
    return target;
}

namespace {

// ParseURL, with the reason for a refusal in `refusal` when it is given.
bool ParseInto(const std::string& text, URL& url, std::string* refusal) {
    const auto refuse = [refusal](std::string reason) {
        if (refusal != nullptr) {
            *refusal = std::move(reason);
        }
        return false;
    };
    ParsedReference reference(text);
    if (!reference.parsed()) {
        return refuse(reference.errorAt() < text.size()
                          ? CharacterAt(text, reference.errorAt()) + " cannot stand there"
                          : "it ends too early");
    }
    const UriUriA& uri = reference.uri();
    const std::string_view scheme = Range(uri.scheme);
    const std::string_view host = Range(uri.hostText);
    // No user information (it would hide the host from a reader), no IP
    // literal in brackets, and a host name of the usual characters.
    if (scheme.empty()) {
        return refuse("it has no scheme");
    }
    if (!IsAcceptedScheme(scheme)) {
        return refuse("the scheme '" + std::string(scheme) + "' is not known");
    }
    if (uri.userInfo.first != nullptr) {
        return refuse("user information (USER@ before the host) is not supported");
    }
    if (uri.hostData.ip6 != nullptr || uri.hostData.ipFuture.first != nullptr) {
        return refuse("IPv6 literals (a host in brackets) are not supported");
    }
    if (host.empty()) {
        return refuse("it has no host");
    }
    // The host lies in the reference's own copy of the text: its place is
    // counted there, the same as in the text given.
    const std::string_view whole = reference.text();
    if (const auto bad = std::find_if_not(host.begin(), host.end(), IsHostChar); bad != host.end()) {
        return refuse(CharacterAt(text, static_cast<std::size_t>(&*bad - whole.data())) +
                      " cannot stand in a host name");
    }
    std::uint64_t port = 0;
    const std::string_view portText = Range(uri.portText);
    for (const char digit : portText) {
        port = port * 10 + static_cast<unsigned>(digit - '0');
        if (port > 0xffffffffULL) {
            return refuse("the port is not 1 to 65535");
        }
    }
    // Port 0 stands for "none" here; a written 0 would silently become the
    // scheme's default port, so it is refused.
    if (!portText.empty() && port == 0) {
        return refuse("the port is not 1 to 65535");
    }
    // The path runs from the end of the authority to the query or fragment.
    const char* authorityEnd = uri.portText.first != nullptr ? uri.portText.afterLast
                                                             : uri.hostText.afterLast;
    const std::string_view rest(authorityEnd, whole.data() + whole.size() - authorityEnd);
    const std::string_view path = rest.substr(0, rest.find_first_of("?#"));
    url.scheme.append(scheme);
    url.host.append(host);
    url.port = static_cast<std::uint32_t>(port);
    url.path.append(path);
    url.queryText.append(Range(uri.query));
    url.query = DecodeQuery(url.queryText);
    url.fragment.append(Range(uri.fragment));
    return true;
}

}  // namespace

bool ParseURL(const std::string& text, URL& url) {
    return ParseInto(text, url, nullptr);
}

std::string URLRefusal(const std::string& text) {
    URL url;
    std::string refusal;
    if (ParseInto(text, url, &refusal) && !url.HasValidPort()) {
        refusal = "the port is not 1 to 65535";
    }
    return refusal;
}

std::string SchemeOf(const std::string& text) {
    // scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ), then ":"
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    const auto schemeChar = [](char c) { return IsAlnum(c) || c == '+' || c == '-' || c == '.'; };
    const auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || !letter(text[0]) ||
        !std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon), schemeChar)) {
        return {};
    }
    std::string scheme = text.substr(0, colon);
    for (char& c : scheme) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return scheme;
}

std::string WithLowerCaseScheme(std::string text) {
    const std::string scheme = SchemeOf(text);
    text.replace(0, scheme.size(), scheme);
    return text;
}

bool ParseRelativeURL(URL& url, const std::string& reference) {
    URL base = url;
    base.fragment.clear();
    ParsedReference baseURI(base.ToString());
    ParsedReference relative(reference);
    if (!baseURI.parsed() || !relative.parsed()) {
        return false;
    }
    ParsedReference resolved;
    if (uriAddBaseUriExA(&resolved.uri(), &relative.uri(), &baseURI.uri(), URI_RESOLVE_STRICTLY) !=
        URI_SUCCESS) {
        return false;
    }
    URL target;
    if (!ParseURL(resolved.ToString(), target)) {
        return false;
    }
    url = std::move(target);
    return true;
}

bool EncodeReference(const std::string& text, std::string& out) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out.clear();
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            return false;
        }
        if (IsURIChar(c)) {
            out += c;
        } else {
            out += '%';
            out += kDigits[byte >> 4];
            out += kDigits[byte & 15];
        }
    }
    return true;
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
