#pragma once

#include <memory>
#include <string>

#include "common/logging/ILogger.h"
#include "core/SharedFromThis.h"
#include "network/Endpoint.h"
#include "network/IHTTPConnection.h"
#include "network/ParsedURLCache.h"

namespace network {

class AsyncHTTPConnectionPool;

// What a caller of the pool holds: an HTTP connection bound to the endpoint
// of its first request, whose requests the pool serves on its shared
// connections. Holds the pool weakly: once the pool is gone every request
// is refused with code 1. Used from one thread.
class PoolConnectionHandle : public IHTTPConnection, public core::SharedFromThis {
public:
    explicit PoolConnectionHandle(std::weak_ptr<AsyncHTTPConnectionPool> pool);
    ~PoolConnectionHandle() override;

    // Nothing: pooled connections always keep alive.
    void SetKeepAlive(bool) override {}
    // On the pool's cookie store; 0 (nothing changed) when the pool is gone.
    std::uint32_t SetCookie(const std::string& setCookieValue) override;
    std::uint32_t DeleteCookie(const std::string& name) override;
    std::unique_ptr<IHTTPRequest> CreateRequest() override;
    void Submit(std::string url, HTTPCallback&& callback) override;
    void Submit(std::string url, std::unique_ptr<IHTTPRequest> request,
                HTTPCallback&& callback) override;
    // Refuses later requests; a running one goes on.
    void Close() override;
    // Aborts the requests of this handle that are running; queued ones stay.
    void Abort() override;

    const Endpoint& GetEndpoint() const { return endpoint_; }

private:
    std::weak_ptr<AsyncHTTPConnectionPool> pool_;
    Endpoint endpoint_;
    ParsedURLCache parsedURLs_;
    bool closed_ = false;
    std::unique_ptr<common::ILogger> logger_;
};

}  // namespace network
