#pragma once

#include <cstdint>
#include <string>

#include "IInstallerControllerDelegate.h"
#include "common/delegate/Delegate.h"

namespace quorvane::unattended {

// The application's side of the window. Texts are wide strings as the
// message table gives them.
class IInstallerController : public common::Delegate<IInstallerControllerDelegate> {
public:
    ~IInstallerController() override = default;

    // The modal alert that tells the user the installer has no public key;
    // returns once it has been dismissed.
    virtual void showPublicKeyMissingErrorDialog() = 0;
    virtual void setTitle(const std::wstring& title) = 0;
    virtual void updateProgress(const std::wstring& text, const std::uint64_t value,
                                const std::uint64_t max) = 0;
    virtual void setButtonLabel(const std::wstring& title, const bool enabled) = 0;
};

}  // namespace quorvane::unattended
