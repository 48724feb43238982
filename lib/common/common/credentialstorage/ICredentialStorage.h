#pragma once

#include <string>

namespace common::credentialstorage {

// Keeps one secret with its account name under a label in the user's
// keychain.
class ICredentialStorage {
public:
    virtual ~ICredentialStorage() = default;

    // True when the item under `label` now holds `account` and `secret`.
    virtual bool store(const std::wstring& label, const std::wstring& account,
                       const std::wstring& secret) = 0;

    // True when the secret was read; the outputs are untouched otherwise.
    virtual bool load(const std::wstring& label, std::wstring& account,
                      std::wstring& secret) = 0;
};

}  // namespace common::credentialstorage
