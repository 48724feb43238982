#pragma once

#include <memory>

#include "IInstallerController.h"
#include "IInstallerView.h"
#include "IInstallerViewDelegate.h"

namespace quorvane::unattended {

// Forwards the application's calls to the view and passes the button back up.
// While it exists it is the view's delegate.
class InstallerController : public IInstallerController, public IInstallerViewDelegate {
public:
    // `view` is not owned and must outlive the controller.
    static std::unique_ptr<IInstallerController> create(IInstallerView* view);

    explicit InstallerController(IInstallerView* view);
    ~InstallerController() override;

    void showPublicKeyMissingErrorDialog() override;
    void setTitle(const std::wstring& title) override;
    void updateProgress(const std::wstring& text, const std::uint64_t value,
                        const std::uint64_t max) override;
    void setButtonLabel(const std::wstring& title, const bool enabled) override;

    void onButtonPushed() override;
    void onInputEnded() override;

private:
    IInstallerView* view_;
};

}  // namespace quorvane::unattended
