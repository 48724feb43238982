#pragma once

#include <memory>
#include <string>

#include "network/INetworkAuthentication.h"
#include "network/INetworkConnectivity.h"

class IProxyAuthenticator;

namespace network {

// Basic authentication (RFC 7617): the user name and password of the proxy
// authenticator in Base64. A pair is offered once; a changed pair again.
class BasicAuthentication : public INetworkAuthentication {
public:
    BasicAuthentication(std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                        std::shared_ptr<INetworkConnectivity> connectivity);

    std::string GetScheme() override { return "Basic"; }
    std::string GetAuthorization() override;
    void ProcessChallenge(const std::string& challenge) override;
    bool HasCredentials() override;
    bool CanRetry() override { return false; }

private:
    std::shared_ptr<INetworkConnectivity> connectivity_;
    std::shared_ptr<IProxyAuthenticator> proxyAuthenticator_;
    std::string lastUser_;
    std::string lastPassword_;
};

}  // namespace network
