#pragma once

#include <string>

namespace network {

// One HTTP authentication scheme answering a proxy's challenges. The proxy
// tunnel writes the "Proxy-Authorization" header as GetScheme(), a space and
// GetAuthorization().
class INetworkAuthentication {
public:
    virtual ~INetworkAuthentication() = default;

    // The scheme's name as written in the header ("Basic", "Digest").
    virtual std::string GetScheme() = 0;
    // The credentials part of the header value; "" when none can be given.
    virtual std::string GetAuthorization() = 0;
    // The text of a "Proxy-Authenticate" value after the scheme name.
    virtual void ProcessChallenge(const std::string& challenge) = 0;
    // Whether another attempt with credentials is worth making.
    virtual bool HasCredentials() = 0;
    // Whether a 403 answer is worth another attempt.
    virtual bool CanRetry() = 0;
};

}  // namespace network
