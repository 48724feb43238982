#include "extension/NonPersistentStore.h"

namespace extension {

std::map<std::string, std::string>* NonPersistentStore::Scope(int scope) {
    switch (scope) {
    case 0:
        return &scope0_;
    case 1:
        return &scope1_;
    default:
        return nullptr;
    }
}

std::string NonPersistentStore::Get(int scope, const std::string& key) {
    const auto* map = Scope(scope);
    if (!map) {
        return {};
    }
    const auto found = map->find(key);
    return found == map->end() ? std::string() : found->second;
}

void NonPersistentStore::Set(int scope, const std::string& key, const std::string& value) {
    if (auto* map = Scope(scope)) {
        (*map)[key] = value;
    }
}

bool NonPersistentStore::Has(int scope, const std::string& key) {
    return !Get(scope, key).empty();
}

}  // namespace extension
