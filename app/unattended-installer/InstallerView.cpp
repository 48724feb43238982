#include "InstallerView.h"

#include "AppDelegate.h"
#include "DisplayText.h"
#include "MainMenu.h"
#include "platform/appkit/Application.h"

namespace quorvane::unattended {

std::unique_ptr<IInstallerView> InstallerView::create() {
    return std::make_unique<InstallerView>();
}

InstallerView::InstallerView() {
    loadMainMenu();
    if (auto* appKit = appDelegate()) {
        appKit->setView(this);
        appKit->localize();
    }
}

InstallerView::~InstallerView() {
    if (auto* appKit = appDelegate()) {
        appKit->closeWindow();
        appKit->setView(nullptr);
    }
}

AppDelegate* InstallerView::appDelegate() {
    return dynamic_cast<AppDelegate*>(platform::appkit::Application::shared().delegate());
}

void InstallerView::onButtonPushed() {
    // The delegate may release this view: nothing of it is used after.
    if (auto* listener = delegate()) {
        listener->onButtonPushed();
    }
}

void InstallerView::onInputEnded() {
    if (auto* listener = delegate()) {
        listener->onInputEnded();
    }
}

void InstallerView::showPublicKeyMissingErrorDialog() {
    if (auto* appKit = appDelegate()) {
        appKit->showPublicKeyMissingErrorDialog();
    }
}

void InstallerView::setTitle(const std::wstring& title) {
    if (auto* appKit = appDelegate()) {
        appKit->setTitle(toDisplayText(title));
    }
}

void InstallerView::updateProgress(const std::wstring& text, const std::uint64_t value,
                                   const std::uint64_t max) {
    if (auto* appKit = appDelegate()) {
        appKit->updateProgress(toDisplayText(text), value, max);
    }
}

void InstallerView::setButtonLabel(const std::wstring& title, const bool enabled) {
    if (auto* appKit = appDelegate()) {
        appKit->setButtonLabel(toDisplayText(title), enabled);
    }
}

}  // namespace quorvane::unattended
