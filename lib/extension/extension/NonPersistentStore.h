#pragma once

#include <map>
#include <string>

#include "extension/ISettingsStore.h"

namespace extension {

// Settings kept in memory only, one map per scope; other scopes hold nothing.
// Used from the polling thread only; takes no lock.
class NonPersistentStore : public ISettingsStore {
public:
    std::string Get(int scope, const std::string& key) override;
    void Set(int scope, const std::string& key, const std::string& value) override;
    bool Has(int scope, const std::string& key) override;

private:
    std::map<std::string, std::string>* Scope(int scope);

    std::map<std::string, std::string> scope0_;
    std::map<std::string, std::string> scope1_;
};

}  // namespace extension
