#pragma once

#include <memory>

#include "network/AsyncHTTPConnectionPool.h"
#include "network/AsyncSSLContext.h"
#include "network/AsyncService.h"
#include "network/INetworkFactory.h"

class IProxyAuthenticator;

namespace network {

// The one place where the library's shared objects are made and wired
// together: one TLS context, one connectivity monitor (the system's
// reachability), one cookie store and one connection pool, all on one
// service. Takes no lock: used from the service's thread.
class AsyncNetworkFactory : public INetworkFactory {
public:
    AsyncNetworkFactory(std::shared_ptr<AsyncService> service,
                        std::shared_ptr<IProxyAuthenticator> proxyAuthenticator);
    ~AsyncNetworkFactory() override;

    std::shared_ptr<ITCPSocket> CreateTCPSocket() override;
    std::shared_ptr<IHTTPConnection> CreateHTTPConnection() override;
    std::shared_ptr<IWebSocket> CreateWebSocket() override;
    std::shared_ptr<INetworkConnectivity> GetNetworkConnectivity() override;
    std::shared_ptr<HTTPCookieStore> GetCookieStore() override;

private:
    std::shared_ptr<AsyncService> service_;
    std::shared_ptr<AsyncSSLContext> sslContext_;
    std::shared_ptr<INetworkConnectivity> connectivity_;
    std::shared_ptr<HTTPCookieStore> cookieStore_;
    std::shared_ptr<AsyncHTTPConnectionPool> connectionPool_;
    std::shared_ptr<IProxyAuthenticator> proxyAuthenticator_;
};

}  // namespace network
