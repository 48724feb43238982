#pragma once

#include <string>

class IProxyAuthenticator;

namespace network {

// The user name and password of the proxy authenticator, in UTF-8, read
// afresh at every use.
struct ProxyCredentials {
    std::string user;
    std::string password;

    // Both given, and neither holds CR, LF or NUL (which would break the
    // header they go into).
    bool Usable() const;

    static ProxyCredentials Read(const IProxyAuthenticator* authenticator);
};

// Whether `text` holds CR, LF or NUL.
bool HasLineBreakOrNul(const std::string& text);

}  // namespace network
