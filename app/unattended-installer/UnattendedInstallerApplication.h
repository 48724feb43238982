#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "IDownloader.h"
#include "IInstallerController.h"
#include "IInstallerControllerDelegate.h"
#include "IInstallerView.h"
#include "InstallLocation.h"
#include "InstallerState.h"
#include "common/application/Application.h"
#include "common/credentialstorage/CredentialStorage.h"
#include "common/logging/ILogger.h"
#include "common/messagemap/IMessageMap.h"
#include "common/taskscheduler/ITaskQueue.h"
#include "common/taskscheduler/ITaskScheduler.h"

class QtCorePlatform;

namespace extension {
class EventLoopEnvironment;
}

namespace quorvane::unattended {

class InstallSlot;

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
        // The command line is not one that the user-started copy writes.
        InvalidRequest = 6,
    };

    // Exit codes of the user-started copy (1: it could not start, from
    // main).
    enum RunResult : std::uint32_t {
        RunInstalled = 0,
        RunFailed = 2,
        // Ended by the button or the window's close before an outcome.
        RunEndedEarly = 3,
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
    // The end of the user's input: once the outcome shows, it ends the run
    // as the button would, with the outcome's exit code; before, it changes
    // nothing.
    void onInputEnded() override;

    // Shows an InstallerState in the window: its texts and progress step. A
    // value beyond the states, or a call after the teardown, changes nothing.
    void updateView(unsigned int state);

    // Selects the window's language in the message table (loading it first).
    void setLanguage(const std::wstring& language);

    // The 64 characters between the first "K_" of `path` and the last
    // underscore after it; empty when there are not exactly 64.
    static std::string getPublicKeyFromPath(const std::string& path);

    // The elevated copy's work: becomes root, checks the request and the
    // folders above the install folder, takes the folder's lock and puts
    // right what a stopped run left, checks what the package declares,
    // unpacks it within its bounds into a fresh folder next to the install
    // folder with nothing in it writable by others, carries the device token
    // over, puts the new folder in place and registers the agent daemon; a
    // failed registration puts the earlier install back. Returns an
    // InstallResult.
    std::uint32_t privilegedInstall(const ElevatedRequest& request);

    // Removes the folder with its content; a failure is logged.
    void deleteDirectory(const boost::filesystem::path& folder);

    const std::string& publicKey() const { return publicKey_; }
    // The network library's environment of the user-started role, polled
    // from the application queue; empty before initApplication, after the
    // teardown and in the elevated role.
    const std::shared_ptr<extension::EventLoopEnvironment>& environment() const {
        return environment_;
    }

private:
    // The user-started role's set-up: the Qt platform, the window in the
    // user's language, the public-key check and the download folder. False
    // ends the process.
    bool initApplication(const std::string& currentFolder);
    // The user-started role's work folder and this run's own download
    // folder in it; a failure is kept for download() to show.
    void makeDownloadFolder(const std::string& currentFolder);
    // Checks the parameters of the install; false (logged) when one cannot
    // be used.
    bool checkParameters();
    // Starts the download of the agent package.
    void download();
    // The download's outcome: installs the package or shows the failure.
    void onDownloaded(bool ok, const boost::filesystem::path& file);
    // Relaunches the executable with administrator rights to install the
    // downloaded package, waits for its result and shows it. Blocks.
    void installDownloadedPackage(const boost::filesystem::path& file);
    // Shows the outcome and keeps it as the exit code.
    void showResult(bool installed);
    void teardown();
    void queueInstallTask(const std::optional<ElevatedRequest>& request);
    // Creates the environment and queues the task that polls it for as long
    // as it exists.
    void hostEnvironment();
    // Unpacks the package read from `package` into a new folder of `slot`,
    // within the request's bounds, with nothing in it writable by others and
    // the earlier install's device token carried over; empty (logged) when
    // that fails.
    boost::filesystem::path unpack(int package, const ElevatedRequest& request,
                                   const InstallSlot& slot);
    // Stores the device token of the earlier install in `destination` in
    // the parameter file of the new one in `staging`; false when it cannot.
    bool carryDeviceTokenOver(const boost::filesystem::path& destination,
                              const boost::filesystem::path& staging);

    common::ITaskScheduler& scheduler_;
    std::unique_ptr<common::ITaskQueue> queue_;
    std::unique_ptr<common::ILogger> logger_;
    std::shared_ptr<extension::EventLoopEnvironment> environment_;
    std::unique_ptr<IInstallerView> view_;
    std::unique_ptr<IInstallerController> controller_;
    std::unique_ptr<common::IMessageMap> messageMap_;
    std::unique_ptr<common::IDownloader> downloader_;
    // This run's own download folder, made by it and removed at the end.
    boost::filesystem::path downloadFolder_;
    // Why the run cannot go on, found while setting up; empty when it can.
    std::string setupError_;
    // The checked parameters of the install.
    std::string product_;
    std::string companyId_;
    std::string installerArguments_;
    std::uint32_t exitCode_ = 0;
    // Whether the window shows the outcome, and whether nobody will push its
    // button any more.
    bool outcomeShown_ = false;
    bool inputEnded_ = false;
    std::unique_ptr<QtCorePlatform> qtPlatform_;
    std::unique_ptr<common::credentialstorage::CredentialStorage> credentialStorage_;
    std::string publicKey_;
};

}  // namespace quorvane::unattended
