#pragma once

#include <memory>

#include "network/HTTPCookieStore.h"
#include "network/IHTTPConnection.h"
#include "network/INetworkConnectivity.h"
#include "network/ITCPSocket.h"
#include "network/IWebSocket.h"

namespace network {

// Makes the network library's objects, each wired to the same event-loop
// service, TLS context, proxy authenticator and connectivity monitor.
class INetworkFactory {
public:
    virtual ~INetworkFactory() = default;

    // A new, unconnected socket.
    virtual std::shared_ptr<ITCPSocket> CreateTCPSocket() = 0;
    // A new pooled connection; the factory must outlive it.
    virtual std::shared_ptr<IHTTPConnection> CreateHTTPConnection() = 0;
    // A new, unconnected web socket; it keeps what it uses and may outlive the factory.
    virtual std::shared_ptr<IWebSocket> CreateWebSocket() = 0;
    // The monitor every object of the factory asks; disabling it stops them all.
    virtual std::shared_ptr<INetworkConnectivity> GetNetworkConnectivity() = 0;
    // The cookies every connection of the factory shares.
    virtual std::shared_ptr<HTTPCookieStore> GetCookieStore() = 0;
};

}  // namespace network
