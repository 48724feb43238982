#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/appkit/ApplicationDelegate.h"
#include "platform/appkit/Button.h"
#include "platform/appkit/ProgressIndicator.h"
#include "platform/appkit/TextField.h"
#include "platform/appkit/Window.h"

namespace quorvane::unattended {
class IInstallerView;
}

// The application's delegate from the window "MainMenu": it owns nothing;
// its outlets point at the window's controls, and the button's action is
// onButtonPushed. Texts arrive as the window shows them (UTF-8).
class AppDelegate : public platform::appkit::ApplicationDelegate {
public:
    // Brings the window to the front when the loop starts.
    void applicationDidFinishLaunching() override;

    // Closing the window while the view exists acts as the button; the
    // process ends once the view is gone (at once when the button's action
    // released it).
    bool applicationShouldTerminateAfterLastWindowClosed() override;

    // Before the process ends: runs the handler that main set, which may end
    // the process itself with the run's exit status.
    bool applicationShouldTerminate() override;

    // Nobody will push the button any more: tells the view.
    void applicationInputDidEnd() override;
    static void setTerminationHandler(std::function<void()> handler);

    // The alert shown when the installer cannot start at all, in the user's
    // system language, with `reason` as its informative text.
    static void showCannotStartAlert(const std::string& reason);

    void localize();
    // The modal alert shown when the installer carries no public key, in the
    // user's system language.
    void showPublicKeyMissingErrorDialog();
    void closeWindow();
    void setTitle(const std::string& title);
    void updateProgress(const std::string& text, std::uint64_t value, std::uint64_t max);
    void setButtonLabel(const std::string& title, bool enable);
    // The button's action.
    void onButtonPushed(const void* sender);

    platform::appkit::Window* window() const { return window_; }
    void setWindow(platform::appkit::Window* window) { window_ = window; }
    quorvane::unattended::IInstallerView* view() const { return view_; }
    void setView(quorvane::unattended::IInstallerView* view) { view_ = view; }
    platform::appkit::TextField* progressTitle() const { return progressTitle_; }
    void setProgressTitle(platform::appkit::TextField* field) { progressTitle_ = field; }
    platform::appkit::ProgressIndicator* progress() const { return progress_; }
    void setProgress(platform::appkit::ProgressIndicator* progress) { progress_ = progress; }
    platform::appkit::Button* button() const { return button_; }
    void setButton(platform::appkit::Button* button) { button_ = button; }

private:
    platform::appkit::Window* window_ = nullptr;
    quorvane::unattended::IInstallerView* view_ = nullptr;
    platform::appkit::TextField* progressTitle_ = nullptr;
    platform::appkit::ProgressIndicator* progress_ = nullptr;
    platform::appkit::Button* button_ = nullptr;
};
