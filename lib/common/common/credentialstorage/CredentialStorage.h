#pragma once

#include "common/credentialstorage/ICredentialStorage.h"

namespace common::credentialstorage {

// Generic-password items of the user's keychain, found by label.
class CredentialStorage : public ICredentialStorage {
public:
    bool store(const std::wstring& label, const std::wstring& account,
               const std::wstring& secret) override;
    bool load(const std::wstring& label, std::wstring& account, std::wstring& secret) override;
};

}  // namespace common::credentialstorage
