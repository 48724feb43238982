#pragma once

#include <string>

#include "network/AsyncHTTPRequest.h"
#include "network/AsyncHTTPRequestData.h"
#include "network/HTTPCookieStore.h"

namespace network {

// Writes a request as it goes on the wire (RFC 9112 section 3): the request
// line, Host, Accept, the body's type and length, the connection line, the
// caller's headers and one Cookie line, then the body. Refuses beforehand
// what would break the head or the message's framing.
class HTTPRequestSerializer {
public:
    // False, with the reason, for CR, LF or NUL in the method, a header or
    // the content type; a method or a header name that is not a token; a caller's
    // Transfer-Encoding, a Content-Length other than the body's, and a
    // second Host or Content-Length. (A caller's Host and a Content-Length
    // of the body's size are written in place of the library's own.)
    static bool Validate(const AsyncHTTPRequest& request, std::string& reason);
    // Appends the request for `data.url` to `data.buffer` and sets
    // `data.isConnect`; the head is logged at debug level without
    // credentials or cookies.
    static void Serialize(AsyncHTTPRequestData& data, const AsyncHTTPRequest& request,
                          const HTTPCookieStore* cookieStore, bool keepAlive);
    // Whether a request header carries credentials.
    static bool IsCredentialHeader(const std::string& name);
};

}  // namespace network
