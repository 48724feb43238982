#pragma once

#include "platform/security/IInternetPasswordStore.h"
#include "platform/systemconfiguration/ProxyEnvironment.h"

namespace platform::security {

// Proxy passwords taken from the user part of the proxy addresses in the
// environment ("http_proxy", "https_proxy", "all_proxy", in that order): an
// address with a user name is an item for its host.
class InternetPasswordStore : public IInternetPasswordStore {
public:
    explicit InternetPasswordStore(systemconfiguration::EnvironmentReader environment =
                                       systemconfiguration::readProcessEnvironment);

    std::optional<std::vector<InternetPasswordAttributes>> copyProxyItems() override;
    std::optional<std::string> findProxyPassword(const std::string& server,
                                                 const std::string& account) override;

private:
    std::vector<systemconfiguration::ProxyUrl> addressesWithUser() const;

    systemconfiguration::EnvironmentReader environment_;
};

}  // namespace platform::security
