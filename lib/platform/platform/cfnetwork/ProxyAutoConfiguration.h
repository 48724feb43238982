#pragma once

#include "platform/cfnetwork/IProxyAutoConfiguration.h"
#include "platform/cfnetwork/PacScript.h"

namespace platform::cfnetwork {

// Fetches the script (see fetchPacScript) and evaluates it on the calling
// thread, one evaluation at a time in the process. A target without a scheme
// ("updates.example") is handed to the script as both URL and host.
class ProxyAutoConfiguration : public IProxyAutoConfiguration {
public:
    explicit ProxyAutoConfiguration(PacFetchLimits limits = {});

    ProxyAutoConfigurationResult execute(const std::string& scriptUrl,
                                         const std::string& targetUrl) override;

private:
    PacFetchLimits limits_;
};

}  // namespace platform::cfnetwork
