#pragma once

#include <cstdint>
#include <string>

#include "IInstallerViewDelegate.h"
#include "common/delegate/Delegate.h"

namespace quorvane::unattended {

// The window itself, as its controller sees it. Texts are wide strings; the
// view alone turns them into the window's text.
class IInstallerView : public common::Delegate<IInstallerViewDelegate> {
public:
    ~IInstallerView() override = default;

    // Called by the window when its button was pushed or it was closed.
    virtual void onButtonPushed() = 0;
    // Called by the window when the user's input has ended: nobody will push
    // the button any more.
    virtual void onInputEnded() = 0;

    virtual void showPublicKeyMissingErrorDialog() = 0;
    virtual void setTitle(const std::wstring& title) = 0;
    virtual void updateProgress(const std::wstring& text, const std::uint64_t value,
                                const std::uint64_t max) = 0;
    virtual void setButtonLabel(const std::wstring& title, const bool enabled) = 0;
};

}  // namespace quorvane::unattended
