#include "network/AsyncNetworkFactory.h"

#include "network/AsyncTCPSocket.h"
#include "network/AsyncWebSocket.h"
#include "network/NetworkConnectivityApple.h"
#include "network/PoolConnectionHandle.h"

namespace network {

AsyncNetworkFactory::AsyncNetworkFactory(std::shared_ptr<AsyncService> service,
                                         std::shared_ptr<IProxyAuthenticator> proxyAuthenticator)
    : service_(std::move(service)),
      sslContext_(std::make_shared<AsyncSSLContext>()),
      connectivity_(NetworkConnectivityApple::Create(service_->GetIOContext())),
      cookieStore_(std::make_shared<HTTPCookieStore>()),
      connectionPool_(std::make_shared<AsyncHTTPConnectionPool>(
          service_, sslContext_, proxyAuthenticator, connectivity_, cookieStore_)),
      proxyAuthenticator_(std::move(proxyAuthenticator)) {}

AsyncNetworkFactory::~AsyncNetworkFactory() = default;

std::shared_ptr<ITCPSocket> AsyncNetworkFactory::CreateTCPSocket() {
    return std::make_shared<AsyncTCPSocket>(service_, sslContext_, proxyAuthenticator_,
                                            connectivity_);
}

std::shared_ptr<IHTTPConnection> AsyncNetworkFactory::CreateHTTPConnection() {
    return connectionPool_->CreateHandle();
}

std::shared_ptr<IWebSocket> AsyncNetworkFactory::CreateWebSocket() {
    return std::make_shared<AsyncWebSocket>(service_, sslContext_, proxyAuthenticator_, connectivity_);
}

std::shared_ptr<INetworkConnectivity> AsyncNetworkFactory::GetNetworkConnectivity() {
    return connectivity_;
}

std::shared_ptr<HTTPCookieStore> AsyncNetworkFactory::GetCookieStore() {
    return cookieStore_;
}

}  // namespace network
