#pragma once

#include <optional>

#include "platform/corefoundation/PropertyList.h"

namespace platform::systemconfiguration {

// The system's network configuration store, as far as proxies go.
class IDynamicStore {
public:
    virtual ~IDynamicStore() = default;

    // The current proxy settings (keys in ProxyDictionaryKeys.h); nothing
    // when the system gives none.
    virtual std::optional<corefoundation::Dictionary> copyProxies() = 0;
};

}  // namespace platform::systemconfiguration
