#include "UnattendedInstallerApplication.h"

#include <unistd.h>

#include <boost/filesystem.hpp>

#include "Downloader.h"
#include "InstallLocation.h"
#include "InstallerController.h"
#include "InstallerView.h"
#include "QtCorePlatform.h"
#include "ShellWords.h"
#include "common/params/IParams.h"
#include "common/params/JsonFileParams.h"
#include "common/utils/ElevatedExecution.h"
#include "common/utils/Paths.h"
#include "common/utils/PreferredLanguage.h"
#include "common/utils/RandomString.h"
#include "common/utils/StringConversions.h"
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

// Makes sure something stands at `folder`: a path that is there already is
// used as it is, else the folder is created with its missing parents.
// `created` tells whether this call made it.
bool ensureFolder(const fs::path& folder, bool* created = nullptr) {
    if (created != nullptr) {
        *created = false;
    }
    boost::system::error_code error;
    const fs::file_status status = fs::status(folder, error);
    if (!error && fs::exists(status)) {
        return true;
    }
    error.clear();
    fs::create_directories(folder, error);
    if (error || !fs::exists(folder, error)) {
        return false;
    }
    if (created != nullptr) {
        *created = true;
    }
    return true;
}

// Message numbers of the window's texts.
constexpr std::size_t kTitleText = 30;
constexpr std::size_t kFailedText = 77;
constexpr std::size_t kCloseButton = 94;
constexpr std::size_t kDownloadingText = 100;
constexpr std::size_t kSucceededText = 110;
constexpr std::size_t kCancelButton = 115;
constexpr std::size_t kStartingText = 119;
constexpr std::size_t kInstallingText = 155;

constexpr std::uint64_t kProgressSteps = 4;

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
    // The downloader makes its queries through the Qt platform.
    downloader_.reset();
    // The Qt platform keeps proxy credentials in the credential storage until
    // its thread has stopped: it goes first.
    qtPlatform_.reset();
    credentialStorage_.reset();
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
    if (!initApplication(currentFolder)) {
        return false;
    }
    download();
    return true;
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

    std::wstring language = common::utf8ToWString(params_.getValue("Lang", ""));
    if (language.empty()) {
        language = common::utf8ToWString(common::getPreferredLanguage());
    }
    messageMap_ = common::IMessageMap::create();
    setLanguage(language);

    view_ = InstallerView::create();
    controller_ = InstallerController::create(view_.get());
    controller_->setDelegate(this);
    updateView(Starting);

    if (publicKey_.empty() && !params_.get<bool>("Offline", false)) {
        logger_->critical("Public key is empty");
        controller_->showPublicKeyMissingErrorDialog();
        return false;
    }

    downloader_ = common::Downloader::create(qtPlatform_.get(),
                                             scheduler_.createQueue("UnattendedDownloader"),
                                             common::createLogger("Downloader"));

    downloadFolder_ = fs::path(currentFolder) / "download";
    if (!ensureFolder(downloadFolder_, &downloadFolderCreated_)) {
        return false;
    }
    logger_->info("download folder: '%s'", downloadFolder_.c_str());
    return true;
}

void UnattendedInstallerApplication::setLanguage(const std::wstring& language) {
    if (messageMap_) {
        messageMap_->load();
        messageMap_->setLanguage(language.c_str());
    }
}

void UnattendedInstallerApplication::updateView(unsigned int state) {
    if (!controller_ || !messageMap_) {
        return;
    }
    auto text = [this](std::size_t id) { return messageMap_->getMessage(id, 0); };
    switch (state) {
        case Starting:
            controller_->setTitle(text(kTitleText));
            controller_->updateProgress(text(kStartingText), 1, kProgressSteps);
            controller_->setButtonLabel(text(kCancelButton), true);
            break;
        case Downloading:
            controller_->updateProgress(text(kDownloadingText), 2, kProgressSteps);
            controller_->setButtonLabel(text(kCancelButton), true);
            break;
        case Installing:
            controller_->updateProgress(text(kInstallingText), 3, kProgressSteps);
            controller_->setButtonLabel(text(kCancelButton), false);
            break;
        case Failed:
            controller_->updateProgress(text(kFailedText), 4, kProgressSteps);
            controller_->setButtonLabel(text(kCloseButton), true);
            break;
        case Succeeded:
            controller_->updateProgress(text(kSucceededText), 4, kProgressSteps);
            controller_->setButtonLabel(text(kCloseButton), true);
            break;
        default:
            break;
    }
}

void UnattendedInstallerApplication::download() {
    updateView(Downloading);
    const std::string url = params_.getValue("UnattendedDownloadUrl", "");
    if (url.empty()) {
        logger_->error("download url is empty");
        updateView(Failed);
        return;
    }
    logger_->info("downloading from: '%s'", url.c_str());
    downloader_->download(
        url, downloadFolder_, [this](bool ok, const fs::path& file) { onDownloaded(ok, file); }, 0);
}

void UnattendedInstallerApplication::onDownloaded(bool ok, const fs::path& file) {
    // A package that was written, in whole or in part, goes at the teardown.
    if (!file.empty()) {
        downloadedPackage_ = file;
    }
    if (!ok) {
        logger_->error("download failed");
        updateView(Failed);
        return;
    }
    logger_->info("downloaded to: '%s'", file.c_str());
    installDownloadedPackage(file);
}

void UnattendedInstallerApplication::installDownloadedPackage(const fs::path& file) {
    updateView(Installing);
    const std::string product = params_.getValue("Product", "");
    const std::string companyId =
        params_.getValue("CompanyId", common::randomString(10, common::kAlphanumericAlphabet));
    // Each value names one folder below the install root and nothing else.
    const std::pair<const char*, const std::string*> names[] = {{"Product", &product},
                                                                {"CompanyId", &companyId}};
    for (const auto& [key, value] : names) {
        if (!isPlainFolderName(*value)) {
            logger_->error("%s must be a plain folder name, not '%s'", key, value->c_str());
            updateView(Failed);
            return;
        }
    }
    const fs::path destination = installFolder(product, companyId);
    const auto arguments = elevatedArguments(file.string(), destination.string(), publicKey_,
                                             params_.getValue("UnattendedInstallerArgs", ""));
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    logger_->info("executing installer with priviliges: '%s' => '%s'", file.c_str(),
                  destination.c_str());
    const int result = common::runElevated(common::getExecutablePath().c_str(), argv.data());
    if (result == 0) {
        updateView(Succeeded);
        return;
    }
    logger_->error("unable to run elevated application: %d", result);
    updateView(Failed);
}

void UnattendedInstallerApplication::onButtonPushed() {
    quit();
}

void UnattendedInstallerApplication::quit() {
    if (!queue_) {
        return;
    }
    queue_->finish([this](bool&, unsigned long) { teardown(); }, false);
}

void UnattendedInstallerApplication::teardown() {
    logger_->info("quiting...");
    downloader_.reset();
    removeDownloads();
    controller_.reset();
    view_.reset();
    messageMap_.reset();
    logger_->info("over and out");
    logger_.reset();
    queue_.reset();
}

void UnattendedInstallerApplication::removeDownloads() {
    if (downloadFolder_.empty()) {
        return;
    }
    boost::system::error_code error;
    if (downloadFolderCreated_) {
        if (fs::exists(downloadFolder_, error)) {
            deleteDirectory(downloadFolder_);
        }
        return;
    }
    // The folder was there before this run, perhaps with the user's own
    // files: only the package this run wrote goes.
    if (!downloadedPackage_.empty() && fs::is_regular_file(downloadedPackage_, error)) {
        fs::remove(downloadedPackage_, error);
        if (error) {
            logger_->warn("unable to delete file: '%s', error: '%s'", downloadedPackage_.c_str(),
                          error.message().c_str());
        }
    }
}

void UnattendedInstallerApplication::deleteDirectory(const fs::path& folder) {
    boost::system::error_code error;
    fs::remove_all(folder, error);
    if (error && logger_) {
        logger_->warn("unable to delete directory: '%s', error: '%s'", folder.c_str(),
                      error.message().c_str());
    }
}

}  // namespace quorvane::unattended
