#include "InstallerController.h"

namespace quorvane::unattended {

std::unique_ptr<IInstallerController> InstallerController::create(IInstallerView* view) {
    return std::make_unique<InstallerController>(view);
}

InstallerController::InstallerController(IInstallerView* view) : view_(view) {
    if (view_ != nullptr) {
        view_->setDelegate(this);
    }
}

InstallerController::~InstallerController() {
    if (view_ != nullptr) {
        view_->setDelegate(nullptr);
    }
}

void InstallerController::showPublicKeyMissingErrorDialog() {
    if (view_ != nullptr) {
        view_->showPublicKeyMissingErrorDialog();
    }
}

void InstallerController::setTitle(const std::wstring& title) {
    if (view_ != nullptr) {
        view_->setTitle(title);
    }
}

void InstallerController::updateProgress(const std::wstring& text, const std::uint64_t value,
                                         const std::uint64_t max) {
    if (view_ != nullptr) {
        view_->updateProgress(text, value, max);
    }
}

void InstallerController::setButtonLabel(const std::wstring& title, const bool enabled) {
    if (view_ != nullptr) {
        view_->setButtonLabel(title, enabled);
    }
}

void InstallerController::onButtonPushed() {
    // The delegate may release this controller: nothing of it is used after.
    if (auto* listener = delegate()) {
        listener->onButtonPushed();
    }
}

void InstallerController::onInputEnded() {
    // The delegate may release this controller: nothing of it is used after.
    if (auto* listener = delegate()) {
        listener->onInputEnded();
    }
}

}  // namespace quorvane::unattended
