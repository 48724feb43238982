#pragma once

#include <functional>
#include <memory>
#include <string>

#include "IHttpQuery.h"
#include "IProxyAuthenticator.h"
#include "IWebSocket.h"

// The network side of the Qt door: HTTP queries, web sockets, the shared proxy
// authenticator and the request for proxy credentials.
class IQtNetworkPlugin {
public:
    // Kept for the product's other programs; nothing calls it.
    using ReservedHandler = std::function<void()>;
    // Gets "host : port" of the proxy whose credentials the user must give.
    using ProxyCredentialsRequestHandler = std::function<void(const std::string&)>;

    virtual ~IQtNetworkPlugin() = default;

    // A new query on the Qt thread, configured by the caller; none when the
    // Qt thread does not run (it could not be started). Releasing the
    // handle drops its handlers at once and deletes it on the Qt thread.
    virtual std::unique_ptr<IHttpQuery, std::function<void(IHttpQuery*)>> createQuery() const = 0;
    // A new web socket on the Qt thread with a queue of its own for its
    // reports. Releasing the handle drops its handlers at once and deletes it
    // on the Qt thread.
    virtual std::unique_ptr<IWebSocket, std::function<void(IWebSocket*)>> createWebSocket()
        const = 0;

    // The one authenticator of the platform, made on first use.
    virtual std::shared_ptr<IProxyAuthenticator> getProxyAuthenticator() = 0;
    virtual void setReservedHandler(ReservedHandler handler) = 0;
    // Called on the Qt thread when a proxy wants credentials that are not
    // known; the answer goes to IProxyAuthenticator::setCredentials.
    virtual void setProxyCredentialsRequestHandler(ProxyCredentialsRequestHandler handler) = 0;
};
