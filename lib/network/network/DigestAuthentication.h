#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "network/INetworkAuthentication.h"
#include "network/INetworkConnectivity.h"

class IProxyAuthenticator;

namespace network {

// Digest authentication (RFC 2617, RFC 7616) with the quality of protection
// "auth" and the algorithms MD5, SHA-256 and their session variants (MD5
// when the challenge names none): the proxy's realm, nonce, opaque and
// algorithm from its last challenge and the proxy authenticator's
// credentials, read at every use. Every response uses the nonce count 1 and
// a fresh client nonce unless one is configured.
class DigestAuthentication : public INetworkAuthentication {
public:
    DigestAuthentication(std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                         std::shared_ptr<INetworkConnectivity> connectivity, std::string method,
                         std::string uri, std::string clientNonce);
    // The tunnel's form: method "CONNECT", a fresh client nonce each time.
    DigestAuthentication(std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                         std::shared_ptr<INetworkConnectivity> connectivity, std::string uri);

    std::string GetScheme() override { return "Digest"; }
    std::string GetAuthorization() override;
    void ProcessChallenge(const std::string& challenge) override;
    // Usable credentials, and a challenge whose values fit in a header.
    bool HasCredentials() override;
    bool CanRetry() override { return false; }

    // Whether the last challenge said the nonce had gone stale (the
    // credentials were right).
    bool IsStale() const { return stale_; }

    // Whether a challenge (the text after the scheme) can be answered: it
    // carries a nonce, names a supported algorithm or none, and offers the
    // quality of protection "auth" when it lists any.
    static bool Answerable(const std::string& challenge);

private:
    bool ChallengeUsable() const;
    // The digest of the challenge's algorithm, in lower-case hexadecimal.
    std::string Hash(const std::string& text) const;

    std::shared_ptr<INetworkConnectivity> connectivity_;
    std::shared_ptr<IProxyAuthenticator> proxyAuthenticator_;
    std::string realm_;
    std::string method_;
    std::string uri_;
    std::string nonce_;
    std::uint32_t nonceCount_ = 1;
    std::string opaque_;
    std::string clientNonce_;
    std::string algorithm_;  // as the challenge named it; "" for none
    bool answerable_ = true;
    bool stale_ = false;
};

// The name=value pairs of an authentication challenge, the first of each name
// kept. Quoted values may hold commas and backslash escapes (RFC 7235);
// unquoted ones are trimmed; a name without "=" maps to "".
std::map<std::string, std::string> ParseAuthParams(const std::string& text);

// `value` as an RFC 7235 quoted string: in double quotes, with '"' and '\'
// escaped by a backslash.
std::string QuotedString(const std::string& value);

}  // namespace network
