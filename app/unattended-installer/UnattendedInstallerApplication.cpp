#include "UnattendedInstallerApplication.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem.hpp>

#include "AttributeValueKinds.h"
#include "DeferredSignals.h"
#include "Downloader.h"
#include "FallbackMessageMap.h"
#include "InstallFolders.h"
#include "InstallSlot.h"
#include "InstallerController.h"
#include "InstallerView.h"
#include "LoggedCommand.h"
#include "PackageContents.h"
#include "ParameterFileText.h"
#include "ParameterValues.h"
#include "QtCorePlatform.h"
#include "ShellWords.h"
#include "common/params/IParams.h"
#include "common/utils/ElevatedExecution.h"
#include "common/utils/Paths.h"
#include "common/utils/PreferredLanguage.h"
#include "common/utils/RandomString.h"
#include "common/utils/StringConversions.h"
#include "extension/EventLoopEnvironment.h"

namespace quorvane::unattended {

namespace fs = boost::filesystem;

namespace {

constexpr const char* kDaemonRelativePath =
    "WexoQuandelUnattended.app/Contents/MacOS/WexoQuandelUnattendedDaemon";
constexpr const char* kAttributeName = "com.wexo.quandel";
constexpr const char* kUnzip = "/usr/bin/unzip";
constexpr std::chrono::minutes kUnpackTimeout{10};
// How long a second install into the same folder waits for the first.
constexpr std::chrono::minutes kLockWait{5};
// How often the unpacked folder is measured while unzip runs.
constexpr std::chrono::milliseconds kUnpackLook{100};

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

// Why the work folder cannot hold this run's download folder; empty when it
// can: an absolute path of a folder of the user's (or root's) that nobody
// else may write to, unless the sticky bit keeps them from others' entries.
std::string workFolderProblem(const fs::path& folder) {
    if (!folder.is_absolute()) {
        return "is not an absolute path";
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        return "does not exist";
    }
    if (!S_ISDIR(info.st_mode)) {
        return "is not a folder";
    }
    if (info.st_uid != ::getuid() && info.st_uid != 0) {
        return "belongs to another user";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
        return "is writable by others";
    }
    return {};
}

// Throws away what was typed while the button could not be pressed, without
// waiting: only the bytes already there are read.
void dropPendingInput() {
    int pending = 0;
    char buffer[4096];
    while (::ioctl(STDIN_FILENO, FIONREAD, &pending) == 0 && pending > 0) {
        const auto wanted = std::min<std::size_t>(static_cast<std::size_t>(pending), sizeof buffer);
        if (::read(STDIN_FILENO, buffer, wanted) <= 0) {
            break;
        }
    }
}

}  // namespace

UnattendedInstallerApplication::UnattendedInstallerApplication(
    const std::vector<std::string>& arguments, common::ITaskScheduler& scheduler,
    common::IParams& params)
    : common::Application(arguments, params),
      scheduler_(scheduler),
      queue_(scheduler.createQueue("UnattendedApplication")),
      credentialStorage_(std::make_unique<common::credentialstorage::CredentialStorage>()),
      // The executable's resolved path, whatever name it was started by.
      publicKey_(getPublicKeyFromPath(common::getExecutablePath())) {
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
    // Only the command line makes the elevated copy, never the bundle's
    // attribute.
    if (isElevatedCommandLine(arguments_)) {
        queueInstallTask(parseElevatedArguments(arguments_));
        return true;
    }
    exitCode_ = RunEndedEarly;
    if (!initApplication(currentFolder)) {
        return false;
    }
    download();
    return true;
}

void UnattendedInstallerApplication::queueInstallTask(
    const std::optional<ElevatedRequest>& request) {
    queue_->push(
        [this, request](bool&, unsigned long) {
            if (!request) {
                logger_->error("the command line is not an install request");
                exitCode_ = InvalidRequest;
            } else {
                exitCode_ = privilegedInstall(*request);
            }
            if (exitCode_ != InstallSucceeded && request) {
                logger_->warn("unable to install '%s' to '%s': %d", request->source.c_str(),
                              request->destination.c_str(), static_cast<int>(exitCode_));
            }
            quit();
        },
        std::chrono::milliseconds(0), 0);
}

std::uint32_t UnattendedInstallerApplication::privilegedInstall(const ElevatedRequest& request) {
    if (::setuid(0) != 0) {
        logger_->error("unable to set uid to 0");
        return CannotBecomeRoot;
    }
    // What is made is root's alone, whatever the starter's umask.
    ::umask(022);
    // Everything is checked before anything is changed.
    const std::string key = request.publicKey.empty() ? publicKey_ : request.publicKey;
    if (!isUsableKey(key)) {
        logger_->error("no usable public key: the daemon is not registered");
        return RegistrationFailed;
    }
    const auto words = splitShellWords(request.installerArguments);
    if (!words) {
        logger_->error("installer arguments cannot be split into words: '%s'",
                       request.installerArguments.c_str());
        return RegistrationFailed;
    }
    const fs::path destination = request.destination;
    const auto cannotCreate = [this, &destination] {
        logger_->error("unable to create destination folder: '%s'", destination.c_str());
        return CannotCreateDestination;
    };
    std::string problem;
    if (!isInstallFolder(request.destination) ||
        !makeFolderChain(destination.parent_path(), problem)) {
        if (!problem.empty()) {
            logger_->error("refusing the folders above the install folder: %s", problem.c_str());
        }
        return cannotCreate();
    }
    // One install into a folder at a time; what an earlier run left there is
    // put right first.
    InstallSlot slot(destination, *logger_);
    if (!slot.lock(kLockWait)) {
        return cannotCreate();
    }
    slot.recover();
    if (fs::exists(fs::symlink_status(destination)) && !isRealFolder(destination)) {
        return cannotCreate();
    }
    std::string reason;
    uid_t user = static_cast<uid_t>(-1);
    if (!request.user.empty() && request.user.size() < 11 &&
        request.user.find_first_not_of("0123456789") == std::string::npos) {
        user = static_cast<uid_t>(std::stoul(request.user));
    }
    const int package = openPackage(request.source, user, reason);
    if (package >= 0) {
        reason = packageContentProblem(package, request.maxUnpackedBytes,
                                       request.maxUnpackedEntries);
    }
    if (!reason.empty()) {
        logger_->error("refusing the package '%s': %s", request.source.c_str(), reason.c_str());
        if (package >= 0) {
            ::close(package);
        }
        return CannotUnpack;
    }
    const fs::path unpacked = unpack(package, request, slot);
    ::close(package);
    if (unpacked.empty()) {
        return CannotUnpack;
    }
    // The last point at which a closing signal ends the run unchanged.
    if (closingSignalPending()) {
        logger_->warn("stopped by a signal before the install was put in place");
        deleteDirectory(unpacked);
        return CannotUnpack;
    }

    // The new install takes the earlier one's place; the earlier one stays
    // hidden beside it until the daemon is registered.
    if (!slot.putInPlace(unpacked)) {
        return cannotCreate();
    }
    std::vector<std::string> command{(destination / kDaemonRelativePath).string(), "-regsvc"};
    command.insert(command.end(), words->begin(), words->end());
    command.insert(command.end(), {"-publickey", key});
    std::string shown;
    for (const auto& word : command) {
        shown += (shown.empty() ? "'" : " '") + word + "'";
    }
    logger_->info("Run command: %s", shown.c_str());
    LoggedCommand daemon(*logger_, "daemon");
    if (daemon.run(command, request.registrationTimeout) != 0) {
        logger_->error("unable to run daemon registration");
        // Nothing the failed daemon started writes into the earlier install.
        daemon.endGroup();
        slot.rollBack();
        return RegistrationFailed;
    }
    slot.complete();
    // What the registered agent started keeps running; until now it went
    // with a run that did not finish.
    daemon.release();
    return InstallSucceeded;
}

fs::path UnattendedInstallerApplication::unpack(int package, const ElevatedRequest& request,
                                                const InstallSlot& slot) {
    const fs::path destination = request.destination;
    const fs::path staging = slot.makeStaging();
    if (staging.empty()) {
        logger_->error("unable to create destination folder: '%s'", destination.c_str());
        return {};
    }
    // The package is read through the descriptor that was checked, never
    // through its path again. What it writes is bounded whatever it
    // declared; a closing signal stops it.
    LoggedCommand unzip(*logger_, "unzip");
    unzip.setFileSizeLimit(request.maxUnpackedBytes);
    const auto withinBounds = [&request, &staging] {
        const TreeSize size = measureTree(staging);
        return size.bytes <= request.maxUnpackedBytes &&
               size.entries <= request.maxUnpackedEntries;
    };
    std::string overflow;
    auto lastLook = std::chrono::steady_clock::now();
    unzip.setCheck([&] {
        if (closingSignalPending()) {
            overflow = "unzip was stopped by a signal";
        } else if (std::chrono::steady_clock::now() - lastLook >= kUnpackLook) {
            lastLook = std::chrono::steady_clock::now();
            if (!withinBounds()) {
                overflow = "unzip was stopped: it wrote more than " +
                           std::to_string(request.maxUnpackedBytes) + " bytes or " +
                           std::to_string(request.maxUnpackedEntries) + " entries";
            }
        }
        return overflow.empty();
    });
    const int status = unzip.run({kUnzip, "-q", "/dev/fd/3", "-d", staging.string()},
                                 kUnpackTimeout, package);
    if (status == 0 && overflow.empty() && !withinBounds()) {
        overflow = "the package unpacked to more than its bounds";
    }
    // Its parameters are kept as they are written, or the package fails.
    if (status == 0 && overflow.empty()) {
        if (const std::string problem = parameterFileProblem(staging); !problem.empty()) {
            overflow = std::string("the package's ") + kParameterFile + " " + problem;
        }
    }
    if (!overflow.empty()) {
        logger_->error("%s", overflow.c_str());
    }
    // Nothing of the install may be changed by anyone but root.
    if (status != 0 || !overflow.empty() || !restrictModes(staging) ||
        ::chmod(staging.c_str(), 0755) != 0 || !carryDeviceTokenOver(destination, staging)) {
        logger_->error("unable to unpack archive: '%s' to '%s'", request.source.c_str(),
                       destination.c_str());
        deleteDirectory(staging);
        return {};
    }
    return staging;
}

bool UnattendedInstallerApplication::carryDeviceTokenOver(const fs::path& destination,
                                                          const fs::path& staging) {
    // The earlier install's device token, exactly as it was written, takes
    // the place of the package's own in the text of the package's parameter
    // file (checked whole by unpack), whose other bytes stay as they are. A
    // package without a plain parameter file gets one holding the token
    // alone, written in place of whatever the package had at its name. An
    // earlier file that cannot be read is named in the log.
    bool tooLarge = false;
    const auto earlierText =
        readPlainFile(destination, kParameterFile, kLargestParameterFile, &tooLarge);
    const ParameterFileText earlier(earlierText.value_or(""));
    boost::system::error_code error;
    std::string unread;
    if (tooLarge) {
        unread = "is larger than " + std::to_string(kLargestParameterFile) + " bytes";
    } else if (!earlierText &&
               fs::exists(fs::symlink_status(destination / kParameterFile, error))) {
        unread = "cannot be read as a regular file";
    } else if (earlierText && !earlierText->empty()) {
        unread = earlier.problem();
    }
    if (!unread.empty()) {
        logger_->warn("the earlier install's %s %s: no %s to carry over", kParameterFile,
                      unread.c_str(), kDeviceToken);
        return true;
    }
    const auto token = earlier.valueText(kDeviceToken);
    if (!token) {
        return true;
    }
    const ParameterFileText unpacked(readParameterFile(staging).value_or("{}\n"));
    if (!unpacked.problem().empty()) {
        return false;
    }
    const std::string text = unpacked.withValue(kDeviceToken, *token);
    // What the next install could not read would lose the token there.
    if (text.size() > kLargestParameterFile) {
        logger_->error(
            "with the earlier install's %s the package's %s would be %zu bytes, "
            "more than the %zu that are read",
            kDeviceToken, kParameterFile, text.size(), kLargestParameterFile);
        return false;
    }
    const fs::path privateFolder = makePrivateFolder(
        staging.parent_path(), staging.filename().string() + InstallSlot::kParamsInfix);
    if (privateFolder.empty()) {
        return false;
    }
    const fs::path merged = privateFolder / kParameterFile;
    const bool carried = writeNewFile(merged, text, 0644) &&
                         ::rename(merged.c_str(), (staging / kParameterFile).c_str()) == 0;
    deleteDirectory(privateFolder);
    return carried;
}

bool UnattendedInstallerApplication::initApplication(const std::string& currentFolder) {
    qtPlatform_ = QtCorePlatform::create(scheduler_, credentialStorage_.get(),
                                         params_.getValue("DestinationPath", ""));
    hostEnvironment();

    std::wstring language = common::utf8ToWString(params_.getValue("Lang", ""));
    if (language.empty()) {
        language = common::utf8ToWString(common::getPreferredLanguage());
    }
    messageMap_ = std::make_unique<FallbackMessageMap>(common::IMessageMap::create());
    setLanguage(language);

    view_ = InstallerView::create();
    controller_ = InstallerController::create(view_.get());
    controller_->setDelegate(this);
    updateView(Starting);

    if (!isUsableKey(publicKey_) && booleanParameter(params_, "Offline", false) == false) {
        logger_->critical("Public key is empty");
        controller_->showPublicKeyMissingErrorDialog();
        return false;
    }

    // "TransferTimeout": seconds without progress before an attempt is
    // given up.
    const auto transferTimeout = std::chrono::seconds(
        clampedWholeNumber(params_.getValue("TransferTimeout", ""), 1, 3600, 30));
    logger_->info("transfer time-out: %lld s", static_cast<long long>(transferTimeout.count()));
    downloader_ = common::Downloader::create(
        qtPlatform_.get(), scheduler_.createQueue("UnattendedDownloader"),
        common::createLogger("Downloader"), common::Downloader::kRetryDelay, transferTimeout);
    makeDownloadFolder(currentFolder);
    return true;
}

void UnattendedInstallerApplication::hostEnvironment() {
    environment_ =
        std::make_shared<extension::EventLoopEnvironment>(qtPlatform_->getProxyAuthenticator());
    queue_->push(
        [this](bool& reschedule, unsigned long) {
            if (environment_) {
                environment_->PollEvents();
                reschedule = true;
            }
        },
        std::chrono::milliseconds(0), 0);
}

void UnattendedInstallerApplication::makeDownloadFolder(const std::string& currentFolder) {
    const fs::path work =
        params_.hasValue("WorkFolder") ? params_.getValue("WorkFolder", "") : currentFolder;
    if (const std::string problem = workFolderProblem(work); !problem.empty()) {
        setupError_ = "work folder '" + work.string() + "' " + problem;
        return;
    }
    // A folder of this run's own: nothing that someone else left at a path
    // is used, and runs sharing the work folder never meet.
    downloadFolder_ = makePrivateFolder(work, "download-");
    if (downloadFolder_.empty()) {
        setupError_ = "cannot make a download folder in '" + work.string() + "'";
        return;
    }
    logger_->info("download folder: '%s'", downloadFolder_.c_str());
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

bool UnattendedInstallerApplication::checkParameters() {
    const auto kinds = attributeValueKinds(kAttributeName);
    // A value from the command line is always text.
    auto kindOf = [&kinds](const char* key) {
        const auto found = kinds.find(key);
        return found == kinds.end() ? ValueKind::text : found->second;
    };
    for (const char* key : {"UnattendedDownloadUrl", "UnattendedInstallerArgs"}) {
        if (kindOf(key) != ValueKind::text) {
            logger_->error("%s must be a string", key);
            return false;
        }
    }
    // Offline is a boolean, and true only with a key: without one the
    // elevated copy registers no daemon, and the run would fail only after
    // its download.
    if (const auto offline = booleanParameter(params_, "Offline", false); !offline) {
        logger_->error("Offline must be true, false or a whole number, not '%s'",
                       params_.getValue("Offline", "").c_str());
        return false;
    } else if (*offline && !isUsableKey(publicKey_)) {
        logger_->error("Offline without a usable public key: no daemon could be registered");
        return false;
    }
    if (params_.getValue("UnattendedDownloadUrl", "").empty()) {
        logger_->error("download url is empty");
        return false;
    }
    product_ = params_.getValue("Product", "");
    companyId_ = params_.hasValue("CompanyId")
                     ? params_.getValue("CompanyId", "")
                     : common::randomString(10, common::kAlphanumericAlphabet);
    // Each value names one folder below the install root and nothing else.
    const std::pair<const char*, const std::string*> names[] = {{"Product", &product_},
                                                                {"CompanyId", &companyId_}};
    for (const auto& [key, value] : names) {
        if (kindOf(key) == ValueKind::other || !isPlainFolderName(*value)) {
            logger_->error("%s must be a plain folder name, not '%s'", key, value->c_str());
            return false;
        }
    }
    if (const std::string problem = installFolderNameProblem(companyId_); !problem.empty()) {
        logger_->error("CompanyId '%s' %s", companyId_.c_str(), problem.c_str());
        return false;
    }
    installerArguments_ = params_.getValue("UnattendedInstallerArgs", "");
    // On the command line the value is the next argument as it is, even when
    // it begins with a dash; the attribute's value still wins.
    if (kinds.count("UnattendedInstallerArgs") == 0) {
        for (std::size_t i = 1; i + 1 < arguments_.size(); ++i) {
            if (boost::algorithm::iequals(arguments_[i], "-UnattendedInstallerArgs")) {
                installerArguments_ = arguments_[i + 1];
            }
        }
    }
    if (!splitShellWords(installerArguments_)) {
        logger_->error("UnattendedInstallerArgs cannot be split into words: '%s'",
                       installerArguments_.c_str());
        return false;
    }
    return true;
}

void UnattendedInstallerApplication::download() {
    updateView(Downloading);
    if (!setupError_.empty()) {
        logger_->error("%s", setupError_.c_str());
        showResult(false);
        return;
    }
    if (!checkParameters()) {
        showResult(false);
        return;
    }
    const std::string url = params_.getValue("UnattendedDownloadUrl", "");
    logger_->info("downloading from: '%s'", url.c_str());
    downloader_->download(
        url, downloadFolder_, [this](bool ok, const fs::path& file) { onDownloaded(ok, file); }, 0);
}

void UnattendedInstallerApplication::onDownloaded(bool ok, const fs::path& file) {
    if (!ok) {
        logger_->error("download failed");
        showResult(false);
        return;
    }
    logger_->info("downloaded to: '%s'", file.c_str());
    installDownloadedPackage(file);
}

void UnattendedInstallerApplication::installDownloadedPackage(const fs::path& file) {
    updateView(Installing);
    ElevatedRequest request;
    request.source = file.string();
    request.destination = installFolder(product_, companyId_).string();
    request.publicKey = publicKey_;
    request.installerArguments = installerArguments_;
    request.user = std::to_string(::getuid());
    // The bounds of the unpacking, when the run names lower ones: whoever
    // serves the bundle's attribute cannot lift them.
    const std::pair<const char*, std::uint64_t*> bounds[] = {
        {"MaxUnpackedBytes", &request.maxUnpackedBytes},
        {"MaxUnpackedEntries", &request.maxUnpackedEntries}};
    for (const auto& [key, value] : bounds) {
        *value = lowerBound(params_.getValue(key, ""), *value);
    }
    const auto arguments = elevatedArguments(request);
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    logger_->info("executing installer with priviliges: '%s' => '%s'", file.c_str(),
                  request.destination.c_str());
    // Closing the window now waits for the outcome: the signals stay
    // pending until it is known, and then act as the button would.
    sigset_t closing, previous;
    sigemptyset(&closing);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&closing, signal);
    }
    ::pthread_sigmask(SIG_BLOCK, &closing, &previous);
    closeDescriptorsOnExec();
    const int result = common::runElevated(common::getExecutablePath().c_str(), argv.data());
    if (result != 0) {
        logger_->error("unable to run elevated application: %d", result);
    }
    // What was typed while the button could not be pressed goes before the
    // button can be pressed again.
    dropPendingInput();
    showResult(result == 0);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void UnattendedInstallerApplication::showResult(bool installed) {
    exitCode_ = installed ? RunInstalled : RunFailed;
    updateView(installed ? Succeeded : Failed);
    outcomeShown_ = true;
    if (inputEnded_) {
        // Not from inside the download's callback: the button's way, on the
        // application's own queue.
        queue_->push([this](bool&, unsigned long) { onButtonPushed(); },
                     std::chrono::milliseconds(0), 0);
    }
}

void UnattendedInstallerApplication::onButtonPushed() {
    quit();
}

void UnattendedInstallerApplication::onInputEnded() {
    inputEnded_ = true;
    if (outcomeShown_) {
        onButtonPushed();
    }
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
    if (!downloadFolder_.empty()) {
        deleteDirectory(downloadFolder_);
    }
    controller_.reset();
    view_.reset();
    messageMap_.reset();
    environment_.reset();
    logger_->info("over and out");
    logger_.reset();
    queue_.reset();
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
