#include "network/HTTPRequestSerializer.h"

#include <algorithm>

#include "network/DebugLogging.h"
#include "network/IHTTPResponse.h"

namespace network {

namespace {

bool HasLineBreakOrNul(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
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
    if (HasLineBreakOrNul(request.contentType)) {
        reason = "the content type holds a line break or NUL";
        return false;
    }
    for (const auto& [name, value] : request.headers) {
        if (HasLineBreakOrNul(name) || HasLineBreakOrNul(value)) {
            reason = "a header holds a line break or NUL";
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
    out += "Host: " + data.url.host;
    if (!data.url.IsDefaultPort()) {
        out += ":" + std::to_string(data.url.port);
    }
    out += "\r\n";
    if (!data.isConnect) {
        out += "Accept: */*\r\n";
    }
    if (!request.body.empty()) {
        out += "Content-Type: " +
               (request.contentType.empty() ? std::string("application/octet-stream")
                                            : request.contentType) +
               "\r\nContent-Length: " + std::to_string(request.body.size()) + "\r\n";
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
