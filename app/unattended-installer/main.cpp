// The installer's entry point, for both roles: the copy the user starts and
// the elevated copy it relaunches with "-PrivilegedInstall".
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <spdlog/spdlog.h>

#include "AppDelegate.h"
#include "DeferredSignals.h"
#include "Downloader.h"
#include "InheritedLimits.h"
#include "InstallLocation.h"
#include "LoggedCommand.h"
#include "UnattendedInstallerApplication.h"
#include "common/application/IApplication.h"
#include "common/logging/Logger.h"
#include "common/params/CommandLineParams.h"
#include "common/params/ExtendedAttributesParamsReader.h"
#include "common/params/Params.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "common/utils/Paths.h"
#include "common/utils/RandomString.h"

namespace fs = boost::filesystem;

namespace {

// The home folder: HOME, else the user database's entry; empty when neither
// names one.
std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* entry = ::getpwuid(::getuid());
        entry != nullptr && entry->pw_dir != nullptr && *entry->pw_dir != '\0') {
        return entry->pw_dir;
    }
    return {};
}

// Makes descriptors 0, 1 and 2 valid (/dev/null where one is closed), so
// that no file opened later takes the place of a standard stream.
void openStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0) {
            const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (opened > 2) {
                ::close(opened);
            }
        }
    }
}

// Why a folder with these attributes is not one that only the user (or
// root) can change; empty when it is.
std::string folderProblem(const fs::path& path, const struct stat& info) {
    if (!S_ISDIR(info.st_mode)) {
        return "'" + path.string() + "' is not a folder";
    }
    if (info.st_uid != ::geteuid() && info.st_uid != 0) {
        return "'" + path.string() + "' belongs to another user";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
        return "'" + path.string() + "' is writable by others";
    }
    return {};
}

// The log files are opened by their path, so every folder that path goes
// through, up to the home folder, must be one that no other user can change
// (a sticky one keeps others from renaming what is not theirs): each folder
// of the path as written and of the path its links lead to, and each link
// of the path as written the user's (or root's), as its owner may replace
// it even in a sticky folder. Empty when so.
std::string homeProblem(const fs::path& home) {
    boost::system::error_code error;
    const fs::path resolved = fs::canonical(home, error);
    if (error) {
        return "'" + home.string() + "' cannot be opened: " + error.message();
    }
    for (const fs::path& path : {home, resolved}) {
        fs::path prefix;
        for (const auto& part : path) {
            prefix /= part;
            struct stat info {};
            if (::lstat(prefix.c_str(), &info) == 0 && S_ISLNK(info.st_mode) &&
                info.st_uid != ::geteuid() && info.st_uid != 0) {
                return "'" + prefix.string() + "' belongs to another user";
            }
            if (::stat(prefix.c_str(), &info) != 0) {
                return "'" + prefix.string() + "' cannot be opened: " + std::strerror(errno);
            }
            if (std::string problem = folderProblem(prefix, info); !problem.empty()) {
                return problem;
            }
        }
    }
    return {};
}

// Creates the run's own log folder `own` below `home`, in the folders
// `names`, made when missing (0755); the run's own last, new and private to
// the user (0700). None is reached through a link, and one that is there
// already must belong to the user (or root) and be writable by nobody else:
// nothing another user plants in the home folder decides where the logs go.
// Empty when it was made, else why not.
std::string makeLogFolder(const fs::path& home, const std::vector<std::string>& names,
                          const std::string& own) {
    int folder = ::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return "'" + home.string() + "' cannot be opened: " + std::strerror(errno);
    }
    fs::path built = home;
    std::string problem;
    for (const auto& name : names) {
        built /= name;
        if (::mkdirat(folder, name.c_str(), 0755) != 0 && errno != EEXIST) {
            problem = "'" + built.string() + "' cannot be made: " + std::strerror(errno);
            break;
        }
        struct stat info {};
        const int next =
            ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 || ::fstat(next, &info) != 0) {
            const std::string reason = std::strerror(errno);
            struct stat entry {};
            const bool there = ::fstatat(folder, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0;
            problem = "'" + built.string() +
                      (there && S_ISLNK(entry.st_mode)  ? "' is a link"
                       : there && !S_ISDIR(entry.st_mode) ? "' is not a folder"
                                                          : "' cannot be opened: " + reason);
        } else {
            problem = folderProblem(built, info);
        }
        ::close(folder);
        folder = next;
        if (!problem.empty()) {
            break;
        }
    }
    if (problem.empty() && ::mkdirat(folder, own.c_str(), 0700) != 0) {
        problem = "'" + (built / own).string() + "' cannot be made: " + std::strerror(errno);
    }
    if (folder >= 0) {
        ::close(folder);
    }
    return problem;
}

// No log, no run: says so on standard error and, for the copy the user
// started, in the alert.
int cannotStart(bool elevated, const std::string& reason) {
    std::fprintf(stderr, "unattended installer: %s\n", reason.c_str());
    std::fflush(stderr);
    if (!elevated) {
        AppDelegate::showCannotStartAlert(reason);
    }
    return 1;
}

// Limits the copy cannot run with: says so on standard error, and in the
// alert of the copy the user started (which ends with 1, as it does without
// a log); the elevated copy prints its result line, as an install that
// stopped before anything changed (4). Nothing has been made yet.
int cannotRun(bool elevated, const char* reason) {
    // Not through stderr's stream, which formats on an 8 KiB buffer of the
    // stack.
    char line[256];
    const int length = std::snprintf(line, sizeof line, "unattended installer: %s\n", reason);
    if (length > 0) {
        const auto size = std::min(static_cast<std::size_t>(length), sizeof line - 1);
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, size);
    }
    if (!elevated) {
        AppDelegate::showCannotStartAlert(reason);
        return 1;
    }
    const int status = quorvane::unattended::UnattendedInstallerApplication::CannotUnpack;
    std::printf("<exitcode>%d</exitcode>\n", status);
    std::fflush(stdout);
    return status;
}

std::vector<std::string> argumentList(int argc, char** argv) {
    std::vector<std::string> arguments;
    if (argc <= 0 || argv == nullptr) {
        return arguments;
    }
    for (int i = 0; i < argc; ++i) {
        arguments.emplace_back(argv[i] ? argv[i] : "");
    }
    return arguments;
}

}  // namespace

int main(int argc, char** argv) {
    openStandardStreams();
    ::signal(SIGPIPE, SIG_IGN);
    // A write past the caller's file-size limit fails, with its reason, and
    // the run tidies up as after any failure: it does not end the process.
    ::signal(SIGXFSZ, SIG_IGN);

    const bool elevated = quorvane::unattended::isElevatedCommandLine(argc, argv);
    if (elevated) {
        // Before any thread starts: the user who started the run may signal
        // it, and no such signal may cut an install short.
        quorvane::unattended::deferClosingSignals();
    }
    // Before anything is made or written: limits too low to run with end
    // the run here, not half-way through its work.
    quorvane::unattended::InheritedLimits limits;
    if (elevated && ::geteuid() == 0) {
        limits.lift();
    }
    if (char reason[200]; limits.belowNeeds(reason, sizeof reason)) {
        return cannotRun(elevated, reason);
    }

    common::Downloader::keepLargeBlocksOffTheHeap();
    auto arguments = std::make_unique<std::vector<std::string>>(argumentList(argc, argv));
    const std::string home = homeFolder();
    if (home.empty()) {
        return cannotStart(elevated, "no home folder for the log files");
    }
    const std::vector<std::string> logParents{".kestrin", "quorvane", "unattended_installer"};
    const std::string own = common::randomString(10, common::kAlphanumericAlphabet);
    fs::path logFolder = home;
    for (const auto& name : logParents) {
        logFolder /= name;
    }
    logFolder /= own;
    std::string problem = homeProblem(home);
    if (problem.empty()) {
        problem = makeLogFolder(home, logParents, own);
    }
    if (!problem.empty()) {
        return cannotStart(elevated,
                           "cannot make the log folder " + logFolder.string() + ": " + problem);
    }

    common::Logger::setLogFolder(logFolder.string());
    common::Logger::init("UnattendedInstaller", argc > 0 && argv[0] ? argv[0] : "",
                         helper::ApplicationType::UnattendedUpdater, {common::logsink::rotatingFile});
    for (const auto& line : limits.lines()) {
        common::createLogger("UnattendedInstaller")->info("%s", line.c_str());
    }

    quorvane::unattended::closeDescriptorsOnExec();
    auto scheduler = common::TaskSchedulerMac::create(std::chrono::milliseconds(10),
                                                      common::createLogger("TaskScheduler"));

    auto params = std::make_unique<common::Params>();
    params->addLayer(std::make_unique<common::CommandLineParams>(*arguments), 2, false);
    // The elevated copy takes its request from its command line alone.
    if (!elevated) {
        params->addLayer(
            std::make_unique<common::ExtendedAttributesParamsReader>("com.wexo.quandel"), 3, false);
    }

    const std::string workFolder =
        params->hasValue("WorkFolder") ? params->getValue("WorkFolder", "") : logFolder.string();
    if (!common::setCurrentDirectory(workFolder)) {
        common::setCurrentDirectory(logFolder.string());
    }

    common::IApplication::createDelegate =
        [](const std::vector<std::string>& args, common::ITaskScheduler& taskScheduler,
           common::IParams& store, IQtPlatform*) -> std::unique_ptr<common::IApplication> {
        return std::make_unique<quorvane::unattended::UnattendedInstallerApplication>(
            args, taskScheduler, store);
    };

    auto application = common::IApplication::create(*arguments, *scheduler, *params, nullptr);
    // The user-started copy ends when its window has closed, from inside the
    // loop: with the run's outcome as its status, the logs written out.
    common::IApplication* running = application.get();
    AppDelegate::setTerminationHandler([running] {
        spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& logger) { logger->flush(); });
        std::fflush(nullptr);
        ::_exit(running != nullptr ? running->exitCode() : 1);
    });
    int exitCode = 1;
    if (application && application->init()) {
        scheduler->run();
        exitCode = static_cast<int>(application->exitCode());
        // The result line is what the user-started copy waits for: write it
        // out before anything else can go wrong.
        if (elevated) {
            std::printf("<exitcode>%d</exitcode>\n", exitCode);
            std::fflush(stdout);
        }
    }

    application.reset();
    params.reset();
    scheduler.reset();
    arguments.reset();
    return exitCode;
}
