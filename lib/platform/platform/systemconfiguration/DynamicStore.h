#pragma once

#include "platform/systemconfiguration/IDynamicStore.h"
#include "platform/systemconfiguration/ProxyEnvironment.h"

namespace platform::systemconfiguration {

// Proxy settings taken from the environment (see ProxyEnvironment.h):
// "auto_proxy" enables the auto-configuration script at that address; each of
// "http_proxy", "https_proxy" and a socks "all_proxy" enables its fixed proxy
// with the address's host and, when the address has one, its port. Values
// that cannot be parsed are left out.
class DynamicStore : public IDynamicStore {
public:
    explicit DynamicStore(EnvironmentReader environment = readProcessEnvironment);

    std::optional<corefoundation::Dictionary> copyProxies() override;

private:
    EnvironmentReader environment_;
};

}  // namespace platform::systemconfiguration
