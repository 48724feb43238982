#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace network {

class IHTTPResponse;

// The outcome of an HTTP request: the status of the response's status line
// (100 to 999), or one of the library's failure codes below 100, which come
// without a response.
using HTTPStatusCode = std::uint32_t;

namespace httpstatus {
constexpr HTTPStatusCode kInvalidResponse = 0;  // the status line is not valid
constexpr HTTPStatusCode kNotSent = 1;          // refused, or no socket to send on
constexpr HTTPStatusCode kConnectFailed = 3;    // name, TCP, TLS or proxy failure
constexpr HTTPStatusCode kIOError = 5;          // sending or reading failed, or a bad response
constexpr HTTPStatusCode kProxyAuthenticationRequired = 407;
}  // namespace httpstatus

// The completion of every HTTP request, called exactly once.
using HTTPCallback = std::function<void(HTTPStatusCode, std::unique_ptr<IHTTPResponse>)>;

}  // namespace network
