#pragma once

#include <functional>
#include <string>

#include "platform/systemconfiguration/IDynamicStore.h"
#include "platform/systemconfiguration/ProxyEnvironment.h"

namespace platform::systemconfiguration {

// Proxy settings taken from the environment as curl reads it (see
// ProxyEnvironment.h): "auto_proxy" enables the auto-configuration script at
// that address; "http_proxy" and "https_proxy" (or "HTTPS_PROXY") enable the
// web proxy of their scheme, and "all_proxy" (or "ALL_PROXY") each web proxy
// that is not named otherwise. An address with a socks scheme enables the
// SOCKS proxy instead, whichever variable holds it. A port that is not given
// is kDefaultProxyPort. An address that cannot be read, or whose scheme is
// neither "http" nor a socks one, is left out with a warning naming its
// variable (never its value, which may hold a password).
class DynamicStore : public IDynamicStore {
public:
    using WarningSink = std::function<void(const std::string& message)>;

    explicit DynamicStore(EnvironmentReader environment = readProcessEnvironment,
                          WarningSink warn = {});

    std::optional<corefoundation::Dictionary> copyProxies() override;

private:
    // The value of `name`, else of `upperName` (when given); nothing when
    // neither is set or not empty.
    std::optional<std::string> read(const char* name, const char* upperName) const;
    std::optional<ProxyUrl> readProxy(const char* name, const char* upperName) const;
    void warn(const std::string& message) const;

    EnvironmentReader environment_;
    WarningSink warn_;
};

}  // namespace platform::systemconfiguration
