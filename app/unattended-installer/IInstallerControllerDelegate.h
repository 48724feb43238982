#pragma once

namespace quorvane::unattended {

// What the window's controller tells the application.
class IInstallerControllerDelegate {
public:
    virtual ~IInstallerControllerDelegate() = default;

    // The window's button was pushed, or the window was closed.
    virtual void onButtonPushed() = 0;
};

}  // namespace quorvane::unattended
