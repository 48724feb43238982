#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "network/INetworkAuthentication.h"
#include "network/INetworkConnectivity.h"
#include "network/SocketSignals.h"

class IProxyAuthenticator;

namespace network {

// The choice among the schemes a proxy offers: Digest over Basic, whatever
// the proxy's order.

constexpr std::size_t kNoAuthenticationScheme = std::numeric_limits<std::size_t>::max();

// The challenges of one "Proxy-Authenticate" field (RFC 9110 section 11.6.1:
// a list of them), each as written, from its scheme to its last parameter
// or its token68. A new challenge starts at a list element that begins with
// a token not followed by "=": commas between the parameters of one
// challenge, and inside quoted strings, split nothing.
std::vector<std::string> SplitChallenges(std::string_view field);

// The index in `offered` of the preferred supported scheme (names compared
// without regard to case); kNoAuthenticationScheme when none is supported.
std::size_t SelectAuthenticationScheme(const std::vector<std::string>& offered);

// A new object of the scheme (any letter case); null for an unsupported one.
// `uri` is what Digest covers: the CONNECT request target.
std::unique_ptr<INetworkAuthentication> CreateAuthentication(
    const std::string& scheme, std::shared_ptr<IProxyAuthenticator> authenticator,
    std::shared_ptr<INetworkConnectivity> connectivity, const std::string& uri);

// "Basic" and "Digest" exactly; anything else is None.
SocketSignals::ProxyAuthenticationMethod SchemeToProxyAuthenticationMethod(const std::string& scheme);

// The strings with `separator` between each two.
std::string JoinStrings(const std::vector<std::string>& strings, const std::string& separator);

}  // namespace network
