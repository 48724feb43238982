#include "AppDelegate.h"

#include "IInstallerView.h"
#include "LocalizationWrapper.h"
#include "common/utils/PreferredLanguage.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/Application.h"

namespace {

constexpr std::size_t kCannotInstallMessage = 86;
constexpr std::size_t kMissingKeyMessage = 126;
constexpr std::size_t kOkButton = 160;
constexpr const char* kProductName = "Wexo Quandel Unattended";

std::function<void()>& terminationHandler() {
    static std::function<void()> handler;
    return handler;
}

void showAlert(std::size_t informative, const std::string& informativeText) {
    // The system language, whatever "Lang" chose for the window.
    LocalizationWrapper localization(common::getPreferredLanguage());
    platform::appkit::Alert alert;
    alert.setAlertStyle(platform::appkit::Alert::Style::critical);
    alert.setMessageText(localization.getLocMessage(kCannotInstallMessage, kProductName));
    alert.setInformativeText(informativeText.empty() ? localization.getLocMessage(informative)
                                                     : informativeText);
    alert.addButton(localization.getLocMessage(kOkButton));
    alert.runModal();
}

}  // namespace

bool AppDelegate::applicationShouldTerminate() {
    if (const auto handler = terminationHandler()) {
        handler();
    }
    return true;
}

void AppDelegate::applicationInputDidEnd() {
    if (view_ != nullptr) {
        view_->onInputEnded();
    }
}

void AppDelegate::setTerminationHandler(std::function<void()> handler) {
    terminationHandler() = std::move(handler);
}

void AppDelegate::showCannotStartAlert(const std::string& reason) {
    showAlert(0, reason);
}

void AppDelegate::applicationDidFinishLaunching() {
    platform::appkit::Application::shared().activateIgnoringOtherApps(true);
    if (window_ != nullptr) {
        window_->makeKeyAndOrderFront();
    }
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() {
    if (view_ == nullptr) {
        return true;
    }
    view_->onButtonPushed();
    // The button's action quits the application, which releases the view;
    // nothing else would end the process then.
    return view_ == nullptr;
}

void AppDelegate::localize() {}

void AppDelegate::showPublicKeyMissingErrorDialog() {
    showAlert(kMissingKeyMessage, "");
}

void AppDelegate::closeWindow() {
    if (window_ != nullptr) {
        window_->performClose(this);
    }
}

// The window is drawn at once after each change, since changes are made
// before the loop runs as well.

void AppDelegate::setTitle(const std::string& title) {
    if (window_ != nullptr) {
        window_->setTitle(title);
        window_->displayIfNeeded();
    }
}

void AppDelegate::updateProgress(const std::string& text, std::uint64_t value, std::uint64_t max) {
    if (progressTitle_ != nullptr) {
        progressTitle_->setStringValue(text);
    }
    if (progress_ != nullptr) {
        progress_->setMaxValue(static_cast<double>(max));
        progress_->setMinValue(0.0);
        progress_->setDoubleValue(static_cast<double>(value));
    }
    if (window_ != nullptr) {
        window_->displayIfNeeded();
    }
}

void AppDelegate::setButtonLabel(const std::string& title, bool enable) {
    if (button_ != nullptr) {
        button_->setEnabled(enable);
        button_->setTitle(title);
    }
    if (window_ != nullptr) {
        window_->displayIfNeeded();
    }
}

void AppDelegate::onButtonPushed(const void* /*sender*/) {
    if (view_ != nullptr) {
        view_->onButtonPushed();
    }
}
