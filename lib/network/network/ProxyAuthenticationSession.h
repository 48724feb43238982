#pragma once

#include <memory>
#include <string>

#include "common/logging/ILogger.h"
#include "network/IHTTPResponse.h"
#include "network/INetworkAuthentication.h"
#include "network/INetworkConnectivity.h"
#include "network/ITCPSocket.h"
#include "network/ProxyCredentials.h"

class IProxyAuthenticator;

namespace network {

// How one socket authenticates to its proxy across CONNECT exchanges: the
// scheme in use (Digest over Basic, whatever the proxy's order), made at the
// first 407 and kept after a refusal so that the socket's next connect
// offers it at once, and the bound on the 407 answers one connect takes.
// Logs on the socket's channel. Runs on the socket's thread.
class ProxyAuthenticationSession {
public:
    ProxyAuthenticationSession(std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                               std::shared_ptr<INetworkConnectivity> connectivity,
                               common::ILogger& logger);
    ~ProxyAuthenticationSession();

    // A caller's connect starts: its 407 answers are counted afresh.
    void StartConnect();
    // The "Proxy-Authorization" value of the next CONNECT; "" for none.
    std::string Authorization();
    // The scheme in use is dropped (the tunnel opened, or was refused).
    void Drop();
    // Whether a 403 is worth another CONNECT.
    bool RetriesForbidden() const;
    // A 407 answer to the CONNECT for `target` ("host:port") through the
    // proxy `proxy` ("host:port"): kSuccess when the CONNECT is to be sent
    // again, else the code the connect ends with.
    ITCPSocket::ErrorCode OnChallenge(IHTTPResponse& response, const std::string& target,
                                      const std::string& proxy);

private:
    std::shared_ptr<IProxyAuthenticator> proxyAuthenticator_;
    std::shared_ptr<INetworkConnectivity> connectivity_;
    common::ILogger& logger_;
    std::unique_ptr<INetworkAuthentication> authentication_;
    // 407 answers within the caller's current connect, those since the scheme
    // in use was made, and whether a stale nonce has earned one more.
    unsigned proxyChallenges_ = 0;
    unsigned schemeChallenges_ = 0;
    bool staleNonceGranted_ = false;
    // The credentials offered last.
    ProxyCredentials offered_;
};

}  // namespace network
