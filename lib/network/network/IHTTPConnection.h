#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "network/HTTPStatusCode.h"
#include "network/IHTTPRequest.h"

namespace network {

// An HTTP/1.1 client connection carrying one request at a time; each
// request reports once through its callback.
class IHTTPConnection {
public:
    virtual ~IHTTPConnection() = default;

    // Chooses the connection header of the requests serialised from now on.
    virtual void SetKeepAlive(bool keepAlive) = 0;
    // Forwarded to the connection's cookie store; its result.
    virtual std::uint32_t SetCookie(const std::string& setCookieValue) = 0;
    virtual std::uint32_t DeleteCookie(const std::string& name) = 0;
    virtual std::unique_ptr<IHTTPRequest> CreateRequest() = 0;
    virtual void Submit(std::string url, HTTPCallback&& callback) = 0;
    // `request` must come from CreateRequest.
    virtual void Submit(std::string url, std::unique_ptr<IHTTPRequest> request,
                        HTTPCallback&& callback) = 0;
    virtual void Close() = 0;
    virtual void Abort() = 0;
};

}  // namespace network
