#pragma once

#include <string>

#include "network/AsyncHTTPResponseData.h"
#include "network/HTTPCookieStore.h"
#include "network/HTTPResponseReader.h"

namespace network {

// What happens to a response's head once it is read, before its body: every
// Set-Cookie value goes to the cookie store, for any status, and the status
// line and the other headers are logged at debug level (cookies never are).
// Also names the step a failed read was in, for the log.
class HTTPResponseHead {
public:
    // Once per response, as soon as its head is complete.
    static void Take(AsyncHTTPResponseData& response, HTTPCookieStore& cookieStore);
    // "Error while ..." for the step the reader failed in.
    static std::string FailedStep(const HTTPResponseReader& reader);
    // Whether the answer leaves the connection unusable (RFC 9112 section
    // 9.3): HTTP/1.0 without keep-alive, either with close, among the
    // options of "Connection" or "Proxy-Connection"; an opened tunnel never.
    static bool ClosesConnection(bool isConnect, std::uint32_t version, std::uint32_t status,
                                 const HTTPHeaderList& headers);
};

}  // namespace network
