#include "UnattendedInstallerApplication.h"

#include <unistd.h>

#include <boost/filesystem.hpp>

#include "QtCorePlatform.h"
#include "ShellWords.h"
#include "common/params/IParams.h"
#include "common/params/JsonFileParams.h"
#include "common/utils/Paths.h"
#include "platform/posix/Spawn.h"
#include "platform/tools/Ditto.h"

namespace quorvane::unattended {

namespace fs = boost::filesystem;

namespace {

constexpr const char* kDaemonRelativePath =
    "WexoQuandelUnattended.app/Contents/MacOS/WexoQuandelUnattendedDaemon";
constexpr const char* kParameterFile = "unattended.json";
constexpr const char* kDeviceToken = "DeviceToken";

// A destination is usable only when it is absolute and has no "." or ".."
// element: it must not lead anywhere but where it says.
bool isSafeDestination(const fs::path& destination) {
    if (destination.empty() || !destination.is_absolute()) {
        return false;
    }
    for (const auto& element : destination) {
        if (element == "..") {
            return false;
        }
    }
    return true;
}

bool ensureFolder(const fs::path& folder) {
    boost::system::error_code error;
    const fs::file_status status = fs::status(folder, error);
    if (!error && fs::exists(status)) {
        return true;
    }
    error.clear();
    fs::create_directories(folder, error);
    return !error && fs::exists(folder, error);
}

}  // namespace

UnattendedInstallerApplication::UnattendedInstallerApplication(
    const std::vector<std::string>& arguments, common::ITaskScheduler& scheduler,
    common::IParams& params)
    : common::Application(arguments, params),
      scheduler_(scheduler),
      queue_(scheduler.createQueue("UnattendedApplication")),
      credentialStorage_(std::make_unique<common::credentialstorage::CredentialStorage>()),
      publicKey_(getPublicKeyFromPath(arguments.empty() ? std::string() : arguments.front())) {
    logger_ = common::createLogger("UnattendedInstaller");
    logger_->info("unattended installer starting (%s) =========================================",
                  kVersion);
}

UnattendedInstallerApplication::~UnattendedInstallerApplication() {
    quit();
    publicKey_.clear();
    credentialStorage_.reset();
    qtPlatform_.reset();
}

std::string UnattendedInstallerApplication::getPublicKeyFromPath(const std::string& path) {
    auto logger = common::createLogger("getPublicKeyFromPath");
    logger->info("key: %s", path.c_str());
    // The first match of "K_.*_": from the first "K_" that has an underscore
    // after it on the same line, greedily to the last such underscore.
    std::string key;
    for (auto start = path.find("K_"); start != std::string::npos;
         start = path.find("K_", start + 1)) {
        const auto lineEnd = path.find_first_of("\n\r", start + 2);
        const auto limit = lineEnd == std::string::npos ? path.size() : lineEnd;
        const auto last = path.rfind('_', limit - 1);
        if (last != std::string::npos && last >= start + 2) {
            key = path.substr(start + 2, last - start - 2);
            break;
        }
    }
    if (key.size() != 64) {
        return {};
    }
    logger->info("processed key: %s", key.c_str());
    return key;
}

bool UnattendedInstallerApplication::init() {
    const std::string currentFolder = common::getCurrentDirectory();
    if (params_.hasValue("PrivilegedInstall")) {
        queueInstallTask(params_.getValue("SourcePath", ""),
                         params_.getValue("DestinationPath", ""),
                         params_.getValue("UnattendedInstallerArgs", ""));
        return true;
    }
    return initApplication(currentFolder);
}

void UnattendedInstallerApplication::queueInstallTask(const std::string& source,
                                                      const std::string& destination,
                                                      const std::string& installerArguments) {
    queue_->push(
        [this, source, destination, installerArguments](bool&, unsigned long) {
            exitCode_ = privilegedInstall(source, destination, installerArguments);
            if (exitCode_ != InstallSucceeded) {
                logger_->warn("unable to install '%s' to '%s': %d", source.c_str(),
                              destination.c_str(), static_cast<int>(exitCode_));
            }
            quit();
        },
        std::chrono::milliseconds(0), 0);
}

std::uint32_t UnattendedInstallerApplication::privilegedInstall(
    const std::string& source, const fs::path& destination, const std::string& installerArguments) {
    if (::setuid(0) != 0) {
        logger_->error("unable to set uid to 0");
        return CannotBecomeRoot;
    }
    if (!isSafeDestination(destination) || !ensureFolder(destination)) {
        logger_->error("unable to create destination folder: '%s'", destination.c_str());
        return CannotCreateDestination;
    }

    const fs::path parameterFile = destination / kParameterFile;
    common::JsonFileParams previous(parameterFile, common::IParams::ReadOnly);

    if (platform::tools::dittoExtractZip(source, destination.string()) != 0) {
        logger_->error("unable to unpack archive: '%s' to '%s'", source.c_str(),
                       destination.c_str());
        return CannotUnpack;
    }

    common::JsonFileParams unpacked(parameterFile, common::IParams::Writable);
    if (previous.hasValue(kDeviceToken)) {
        unpacked.copyValueFrom(previous, kDeviceToken);
    }

    const std::string daemon = (destination / kDaemonRelativePath).string();
    logger_->info(
        "Run command: %s",
        ("\"" + daemon + "\" -regsvc " + installerArguments + " -publickey " + publicKey_).c_str());
    const auto words = splitShellWords(installerArguments);
    if (!words) {
        logger_->error("unable to run daemon registration");
        return RegistrationFailed;
    }
    std::vector<std::string> command{daemon, "-regsvc"};
    command.insert(command.end(), words->begin(), words->end());
    command.push_back("-publickey");
    if (!publicKey_.empty()) {
        command.push_back(publicKey_);
    }
    if (platform::posix::runAndWait(command) != 0) {
        logger_->error("unable to run daemon registration");
        return RegistrationFailed;
    }
    return InstallSucceeded;
}

bool UnattendedInstallerApplication::initApplication(const std::string& currentFolder) {
    qtPlatform_ = QtCorePlatform::create(scheduler_, credentialStorage_.get(),
                                         params_.getValue("DestinationPath", ""));
    downloadFolder_ = fs::path(currentFolder) / "download";
    if (!ensureFolder(downloadFolder_)) {
        return false;
    }
    logger_->info("download folder: '%s'", downloadFolder_.c_str());
    return true;
}

void UnattendedInstallerApplication::quit() {
    if (!queue_) {
        return;
    }
    queue_->finish([this](bool&, unsigned long) { teardown(); }, false);
}

void UnattendedInstallerApplication::teardown() {
    logger_->info("quiting...");
    boost::system::error_code error;
    if (!downloadFolder_.empty() && fs::exists(downloadFolder_, error)) {
        deleteDirectory(downloadFolder_);
    }
    logger_->info("over and out");
    logger_.reset();
    queue_.reset();
}

void UnattendedInstallerApplication::deleteDirectory(const fs::path& folder) {
    boost::system::error_code error;
    fs::remove_all(folder, error);
    if (error) {
        logger_->warn("unable to delete directory: '%s', error: '%s'", folder.c_str(),
                      error.message().c_str());
    }
}

}  // namespace quorvane::unattended
