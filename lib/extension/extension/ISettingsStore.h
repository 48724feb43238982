#pragma once

#include <string>

namespace extension {

// String settings by key in two scopes (0 and 1).
class ISettingsStore {
public:
    virtual std::string Get(int scope, const std::string& key) = 0;
    virtual void Set(int scope, const std::string& key, const std::string& value) = 0;
    // Whether the key holds a non-empty value.
    virtual bool Has(int scope, const std::string& key) = 0;
    virtual ~ISettingsStore() = default;
};

}  // namespace extension
