#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/corefoundation/PropertyList.h"

namespace platform::cfnetwork {

// One element of the proxy array: normally a dictionary with the keys of
// ProxyKeys.h.
using ProxyArrayElement = std::variant<corefoundation::Scalar, corefoundation::Dictionary>;

// The outcome of one evaluation: an error description, or the array of
// proxies to try in order, or (when the evaluation gave something else)
// neither.
struct ProxyAutoConfigurationResult {
    std::optional<std::string> error;
    std::optional<std::vector<ProxyArrayElement>> proxies;
};

// Runs proxy auto-configuration scripts.
class IProxyAutoConfiguration {
public:
    virtual ~IProxyAutoConfiguration() = default;

    // Fetches the script at `scriptUrl` and asks it for the proxies of
    // `targetUrl`; blocks the calling thread until the answer is there.
    virtual ProxyAutoConfigurationResult execute(const std::string& scriptUrl,
                                                 const std::string& targetUrl) = 0;
};

}  // namespace platform::cfnetwork
