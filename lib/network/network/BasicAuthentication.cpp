#include "network/BasicAuthentication.h"

#include "network/Base64.h"
#include "network/ProxyCredentials.h"

namespace network {

BasicAuthentication::BasicAuthentication(std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                                         std::shared_ptr<INetworkConnectivity> connectivity)
    : connectivity_(std::move(connectivity)), proxyAuthenticator_(std::move(proxyAuthenticator)) {}

std::string BasicAuthentication::GetAuthorization() {
    const auto credentials = ProxyCredentials::Read(proxyAuthenticator_.get());
    if (!credentials.Usable()) {
        return "";
    }
    return Base64Encode(credentials.user + ":" + credentials.password);
}

void BasicAuthentication::ProcessChallenge(const std::string& /*challenge*/) {}

bool BasicAuthentication::HasCredentials() {
    auto credentials = ProxyCredentials::Read(proxyAuthenticator_.get());
    if (credentials.user == lastUser_ && credentials.password == lastPassword_) {
        return false;
    }
    const bool usable = credentials.Usable();
    lastUser_ = std::move(credentials.user);
    lastPassword_ = std::move(credentials.password);
    return usable;
}

}  // namespace network
