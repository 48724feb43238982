#pragma once

#include <memory>

#include "IInstallerView.h"

class AppDelegate;

namespace quorvane::unattended {

// The window "MainMenu" seen through the application's AppDelegate: every
// call goes to the delegate, with the texts turned into the window's text.
class InstallerView : public IInstallerView {
public:
    static std::unique_ptr<IInstallerView> create();

    // Loads the window.
    InstallerView();
    // Closes the window and detaches from the AppDelegate.
    ~InstallerView() override;

    void onButtonPushed() override;
    void onInputEnded() override;
    void showPublicKeyMissingErrorDialog() override;
    void setTitle(const std::wstring& title) override;
    void updateProgress(const std::wstring& text, const std::uint64_t value,
                        const std::uint64_t max) override;
    void setButtonLabel(const std::wstring& title, const bool enabled) override;

private:
    // The application's delegate, when it is the window's AppDelegate.
    static AppDelegate* appDelegate();
};

}  // namespace quorvane::unattended
