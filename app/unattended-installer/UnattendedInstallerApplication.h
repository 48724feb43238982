#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "IDownloader.h"
#include "IInstallerController.h"
#include "IInstallerControllerDelegate.h"
#include "IInstallerView.h"
#include "InstallerState.h"
#include "common/application/Application.h"
#include "common/credentialstorage/CredentialStorage.h"
#include "common/logging/ILogger.h"
#include "common/messagemap/IMessageMap.h"
#include "common/taskscheduler/ITaskQueue.h"
#include "common/taskscheduler/ITaskScheduler.h"

class QtCorePlatform;

namespace quorvane::unattended {

// The installer's one application object. Started by the user it shows the
// window, downloads the agent package and relaunches itself with
// administrator rights; started with "PrivilegedInstall" it is that elevated
// copy and only installs.
class UnattendedInstallerApplication : public common::Application,
                                       public IInstallerControllerDelegate {
public:
    // Exit codes of the privileged install.
    enum InstallResult : std::uint32_t {
        InstallSucceeded = 0,
        CannotBecomeRoot = 2,
        CannotCreateDestination = 3,
        CannotUnpack = 4,
        RegistrationFailed = 5,
    };

    static constexpr const char* kVersion = "1.9.4.2041";

    UnattendedInstallerApplication(const std::vector<std::string>& arguments,
                                   common::ITaskScheduler& scheduler, common::IParams& params);
    ~UnattendedInstallerApplication() override;

    bool init() override;
    // Runs the teardown once; later calls do nothing.
    void quit() override;
    int exitCode() const override { return static_cast<int>(exitCode_); }

    // The window's button (or the window's close): quits.
    void onButtonPushed() override;

    // Shows an InstallerState in the window: its texts and progress step. A
    // value beyond the states, or a call after the teardown, changes nothing.
    void updateView(unsigned int state);

    // Selects the window's language in the message table (loading it first).
    void setLanguage(const std::wstring& language);

    // The 64 characters between the first "K_" of `path` and the last
    // underscore after it; empty when there are not exactly 64.
    static std::string getPublicKeyFromPath(const std::string& path);

    // The elevated copy's work: becomes root, creates the destination,
    // unpacks the package, carries the device token over and registers the
    // agent daemon. Returns an InstallResult.
    std::uint32_t privilegedInstall(const std::string& source,
                                    const boost::filesystem::path& destination,
                                    const std::string& installerArguments);

    // Removes the folder with its content; a failure is logged.
    void deleteDirectory(const boost::filesystem::path& folder);

    const std::string& publicKey() const { return publicKey_; }

private:
    // The user-started role's set-up: the Qt platform, the window in the
    // user's language, the public-key check and the download folder. False
    // ends the process.
    bool initApplication(const std::string& currentFolder);
    // Starts the download of the agent package.
    void download();
    // The download's outcome: installs the package or shows the failure.
    void onDownloaded(bool ok, const boost::filesystem::path& file);
    // Relaunches the executable with administrator rights to install the
    // downloaded package, waits for its result and shows it. Blocks.
    void installDownloadedPackage(const boost::filesystem::path& file);
    void teardown();
    // Removes what this run put into the download folder: the folder itself
    // when this run made it, else only the package it wrote.
    void removeDownloads();
    void queueInstallTask(const std::string& source, const std::string& destination,
                          const std::string& installerArguments);

    common::ITaskScheduler& scheduler_;
    std::unique_ptr<common::ITaskQueue> queue_;
    std::unique_ptr<common::ILogger> logger_;
    std::unique_ptr<IInstallerView> view_;
    std::unique_ptr<IInstallerController> controller_;
    std::unique_ptr<common::IMessageMap> messageMap_;
    std::unique_ptr<common::IDownloader> downloader_;
    boost::filesystem::path downloadFolder_;
    // Whether this run created the download folder, and the package file it
    // wrote there (empty until then).
    bool downloadFolderCreated_ = false;
    boost::filesystem::path downloadedPackage_;
    std::uint32_t exitCode_ = 0;
    std::unique_ptr<QtCorePlatform> qtPlatform_;
    std::unique_ptr<common::credentialstorage::CredentialStorage> credentialStorage_;
    std::string publicKey_;
};

}  // namespace quorvane::unattended
