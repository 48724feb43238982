#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "common/logging/ILogger.h"
#include "core/SharedFromThis.h"
#include "network/AsyncHTTPConnection.h"
#include "network/Endpoint.h"

class IProxyAuthenticator;

namespace network {

class PoolConnectionHandle;

// Keeps HTTP connections per endpoint and shares them between the handles
// it gives out: a request is served at once on an idle or new connection
// (at most kMaxConnections per endpoint), queued (at most kMaxWaiting per
// endpoint) or refused with code 1. Connections idle for longer than
// `idleLimitMinutes`, or left broken by their last request, are closed by
// the sweep that starts every hand-out. Runs on the service's thread; owned
// by a shared pointer, which every pending step holds.
class AsyncHTTPConnectionPool : public core::SharedFromThis {
public:
    enum RequestHandlingMethod : std::uint32_t { ServeNow = 0, Queue = 1, Reject = 2 };

    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::uint32_t kMaxConnections = 4;
    static constexpr std::uint32_t kMaxWaiting = 64;

    struct connection_data_t {
        std::shared_ptr<AsyncHTTPConnection> connection;
        std::chrono::steady_clock::time_point lastUse;
        bool busy = false;
        std::weak_ptr<PoolConnectionHandle> owner;
    };

    struct pending_request_t {
        std::weak_ptr<PoolConnectionHandle> handle;
        std::string url;
        std::shared_ptr<AsyncHTTPRequest> request;
        HTTPCallback callback;
    };

    AsyncHTTPConnectionPool(std::shared_ptr<AsyncService> service,
                            std::shared_ptr<AsyncSSLContext> sslContext,
                            std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                            std::shared_ptr<INetworkConnectivity> connectivity,
                            std::shared_ptr<HTTPCookieStore> cookieStore);
    // Closes every pooled connection; requests still queued are refused
    // with code 1.
    ~AsyncHTTPConnectionPool() override;

    std::shared_ptr<PoolConnectionHandle> CreateHandle();

    virtual std::shared_ptr<AsyncHTTPConnection> CreateConnection();
    // Whether the pooled connection has lost its socket (it was closed).
    virtual bool IsClosed(const connection_data_t& entry) const;

    // What the policy does with one more request for an endpoint with these
    // counts.
    static RequestHandlingMethod Policy(std::uint32_t idle, std::uint32_t busy,
                                        std::uint32_t waiting);

    std::shared_ptr<HTTPCookieStore> GetCookieStore() const { return cookieStore_; }
    // The time source of the idle sweep (the steady clock unless replaced).
    void SetClock(Clock clock) { clock_ = std::move(clock); }

private:
    friend class PoolConnectionHandle;
    using ConnectionList = std::list<std::shared_ptr<connection_data_t>>;

    // Runs `task` on the service's thread: at once when already there.
    // False, and nothing runs, once the service has stopped.
    bool Dispatch(std::function<void()> task);
    void HandleRequest(const std::weak_ptr<PoolConnectionHandle>& handle, const Endpoint& endpoint,
                       std::string url, std::shared_ptr<AsyncHTTPRequest> request,
                       HTTPCallback callback);
    void ServiceRequest(const std::weak_ptr<PoolConnectionHandle>& handle,
                        const Endpoint& endpoint, const std::shared_ptr<connection_data_t>& entry,
                        std::string url, std::shared_ptr<AsyncHTTPRequest> request,
                        HTTPCallback callback);
    void ServeNextRequest(const Endpoint& endpoint);
    std::shared_ptr<connection_data_t> GetConnection(const Endpoint& endpoint);
    void RemoveStaleConnections();
    void ReleaseHandle(const std::weak_ptr<PoolConnectionHandle>& handle, const Endpoint& endpoint);
    RequestHandlingMethod Decide(const Endpoint& endpoint) const;

    std::uint64_t idleLimitMinutes_ = 15;
    std::shared_ptr<AsyncService> service_;
    std::shared_ptr<AsyncSSLContext> sslContext_;
    std::shared_ptr<INetworkConnectivity> connectivity_;
    std::shared_ptr<IProxyAuthenticator> proxyAuthenticator_;
    std::shared_ptr<HTTPCookieStore> cookieStore_;
    std::unique_ptr<common::ILogger> logger_;
    std::map<Endpoint, ConnectionList> connections_;
    std::map<Endpoint, std::deque<pending_request_t>> waiting_;
    Clock clock_;
};

}  // namespace network
