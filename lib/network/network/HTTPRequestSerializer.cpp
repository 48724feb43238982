#include "network/HTTPRequestSerializer.h"

#include <algorithm>
#include <string_view>

#include "network/DebugLogging.h"
#include "network/HTTPListElements.h"
#include "network/IHTTPResponse.h"

namespace network {

namespace {

bool HasLineBreakOrNul(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

// A field name is a token (RFC 9110 section 5.6.2): no blank, colon or
// other separator, not empty.
bool IsToken(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), IsHTTPTokenChar);
}

// Whether a Content-Length value, blanks around it allowed, is `size`.
bool IsLength(std::string_view value, std::size_t size) {
    value = TrimmedHTTPBlanks(value);
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (value.empty() || !std::all_of(value.begin(), value.end(), digit)) {
        return false;
    }
    while (value.size() > 1 && value.front() == '0') {
        value.remove_prefix(1);
    }
    return value == std::to_string(size);
}

// The caller's headers that the library writes itself, in its own place.
bool IsFramingHeader(const std::string& name) {
    return HeaderNameEquals(name, "Host") || HeaderNameEquals(name, "Content-Length");
}

}  // namespace

bool HTTPRequestSerializer::IsCredentialHeader(const std::string& name) {
    return HeaderNameEquals(name, "Authorization") || HeaderNameEquals(name, "Proxy-Authorization");
}

bool HTTPRequestSerializer::Validate(const AsyncHTTPRequest& request, std::string& reason) {
    if (HasLineBreakOrNul(request.method)) {
        reason = "the method holds a line break or NUL";
        return false;
    }
    // A method is a token (RFC 9110 section 9.1): a blank would end it early.
    if (!request.method.empty() && !IsToken(request.method)) {
        reason = "the method '" + request.method + "' is not a token";
        return false;
    }
    if (HasLineBreakOrNul(request.contentType)) {
        reason = "the content type holds a line break or NUL";
        return false;
    }
    // The message's framing is the library's: a caller's Host stands in for
    // its own, a length must be the body's, and the body goes with a length.
    unsigned hosts = 0;
    unsigned lengths = 0;
    for (const auto& [name, value] : request.headers) {
        if (HasLineBreakOrNul(name) || HasLineBreakOrNul(value)) {
            reason = "a header holds a line break or NUL";
            return false;
        }
        if (!IsToken(name)) {
            reason = "the header name '" + name + "' is not a token";
            return false;
        }
        if (HeaderNameEquals(name, "Transfer-Encoding")) {
            reason = "a Transfer-Encoding header: the body is sent with its length";
            return false;
        }
        if (HeaderNameEquals(name, "Content-Length") &&
            (++lengths > 1 || !IsLength(value, request.body.size()))) {
            reason = "a Content-Length header other than the body's length, " +
                     std::to_string(request.body.size());
            return false;
        }
        if (HeaderNameEquals(name, "Host") && ++hosts > 1) {
            reason = "more than one Host header";
            return false;
        }
    }
    return true;
}

void HTTPRequestSerializer::Serialize(AsyncHTTPRequestData& data, const AsyncHTTPRequest& request,
                                      const HTTPCookieStore* cookieStore, bool keepAlive) {
    std::string& out = data.buffer;
    const std::string method =
        !request.method.empty() ? request.method : request.body.empty() ? "GET" : "POST";
    data.isConnect = HeaderNameEquals(method, "CONNECT");
    out += method + " " + (data.isConnect ? data.url.Authority() : data.url.PathAndQuery()) +
           " HTTP/1.1\r\n";
    // A caller's Host and Content-Length (checked to be the body's) take
    // the place of the library's own lines.
    if (const std::string* host = FindHeaderValue(request.headers, "Host")) {
        out += "Host: " + *host;
    } else {
        out += "Host: " + data.url.host;
        if (!data.url.IsDefaultPort()) {
            out += ":" + std::to_string(data.url.port);
        }
    }
    out += "\r\n";
    if (!data.isConnect) {
        out += "Accept: */*\r\n";
    }
    if (!request.body.empty()) {
        out += "Content-Type: " +
               (request.contentType.empty() ? std::string("application/octet-stream")
                                            : request.contentType) +
               "\r\n";
    }
    if (!request.body.empty() || FindHeaderValue(request.headers, "Content-Length") != nullptr) {
        out += "Content-Length: " + std::to_string(request.body.size()) + "\r\n";
    }
    const auto connection =
        std::find_if(request.headers.begin(), request.headers.end(),
                     [](const auto& header) { return HeaderNameEquals(header.first, "Connection"); });
    if (connection == request.headers.end() || connection->second.empty()) {
        if (keepAlive) {
            out += data.isConnect ? "Proxy-Connection: keep-alive\r\n" : "Connection: keep-alive\r\n";
        } else if (!data.isConnect) {
            out += "Connection: close\r\n";
        }
    }
    // The log shows the head without credentials. The caller's cookies and
    // the store's go out last, in one "Cookie" line (RFC 6265 section 5.4).
    const bool logged = DebugWritten();
    std::string shown = logged ? out : std::string();
    std::string cookies;
    const auto addCookies = [&cookies](const std::string& pairs) {
        if (!pairs.empty()) {
            cookies += (cookies.empty() ? "" : "; ") + pairs;
        }
    };
    for (const auto& [name, value] : request.headers) {
        if (HeaderNameEquals(name, "Cookie")) {
            addCookies(value);
            continue;
        }
        if (IsFramingHeader(name)) {
            continue;
        }
        out.append(name).append(": ").append(value).append("\r\n");
        if (logged) {
            shown.append(name).append(": ").append(IsCredentialHeader(name) ? "***" : value).append("\r\n");
        }
    }
    if (logged) {
        shown.erase(std::remove(shown.begin(), shown.end(), '\r'), shown.end());
        data.Log().debug("HTTP request headers:\n%s", shown.c_str());
    }
    if (cookieStore != nullptr) {
        addCookies(cookieStore->GetCookieHeader(data.url));
    }
    if (!cookies.empty()) {
        out.append("Cookie: ").append(cookies).append("\r\n");
        if (logged) {
            data.Log().debug("HTTP 'Cookie' request headers omitted from log.");
        }
    }
    out += "\r\n";
    out.append(reinterpret_cast<const char*>(request.body.data()), request.body.size());
}

}  // namespace network
