#pragma once

namespace quorvane::unattended {

// What the window's controller tells the application.
class IInstallerControllerDelegate {
public:
    virtual ~IInstallerControllerDelegate() = default;

    // The window's button was pushed, or the window was closed.
    virtual void onButtonPushed() = 0;
    // Nobody will push the window's button any more.
    virtual void onInputEnded() = 0;
};

}  // namespace quorvane::unattended
