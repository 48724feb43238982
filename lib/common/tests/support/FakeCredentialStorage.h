#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>

#include "common/credentialstorage/ICredentialStorage.h"

// Credential storage in memory, with switches to make it fail.
class FakeCredentialStorage : public common::credentialstorage::ICredentialStorage {
public:
    bool store(const std::wstring& label, const std::wstring& account,
               const std::wstring& secret) override {
        if (onCall) onCall();
        std::lock_guard lock(mutex);
        if (!failStore) items[label] = {account, secret};
        return !failStore;
    }

    bool load(const std::wstring& label, std::wstring& account, std::wstring& secret) override {
        if (onCall) onCall();
        std::lock_guard lock(mutex);
        ++loads;
        const auto found = items.find(label);
        if (failLoad || found == items.end()) return false;
        std::tie(account, secret) = found->second;
        return true;
    }

    std::mutex mutex;
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> items;
    bool failStore = false, failLoad = false;
    int loads = 0;
    std::function<void()> onCall;  // runs at the start of every call
};
