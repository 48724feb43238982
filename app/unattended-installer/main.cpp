// The installer's entry point, for both roles: the copy the user starts and
// the elevated copy it relaunches with "-PrivilegedInstall".
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

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

// Creates the run's own log folder: missing parents readable by all (0755),
// the folder itself private to the user (0700). A path that already exists is
// used as it is.
bool makeLogFolder(const fs::path& folder) {
    boost::system::error_code error;
    const fs::file_status status = fs::status(folder, error);
    if (!error && fs::exists(status)) {
        return true;
    }
    fs::path built;
    for (const auto& element : folder) {
        built /= element;
        if (fs::exists(built, error)) {
            continue;
        }
        const mode_t mode = built == folder ? 0700 : 0755;
        if (::mkdir(built.c_str(), mode) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return fs::is_directory(folder, error);
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
    ::signal(SIGPIPE, SIG_IGN);

    const std::string home = homeFolder();
    if (home.empty()) {
        return 1;
    }
    const fs::path logFolder = fs::path(home) / ".kestrin" / "quorvane" / "unattended_installer" /
                               common::randomString(10, common::kAlphanumericAlphabet);
    if (!makeLogFolder(logFolder)) {
        return 1;
    }

    common::Logger::setLogFolder(logFolder.string());
    common::Logger::init("UnattendedInstaller", argc > 0 && argv[0] ? argv[0] : "",
                         helper::ApplicationType::UnattendedUpdater, {common::logsink::rotatingFile});

    auto arguments = std::make_unique<std::vector<std::string>>(argumentList(argc, argv));
    auto scheduler = common::TaskSchedulerMac::create(std::chrono::milliseconds(10),
                                                      common::createLogger("TaskScheduler"));

    auto params = std::make_unique<common::Params>();
    params->addLayer(std::make_unique<common::CommandLineParams>(*arguments), 2, false);
    params->addLayer(std::make_unique<common::ExtendedAttributesParamsReader>("com.wexo.quandel"), 3,
                     false);

    const std::string workFolder =
        params->hasValue("WorkFolder") ? params->getValue("WorkFolder", "") : logFolder.string();
    common::setCurrentDirectory(workFolder);

    common::IApplication::createDelegate =
        [](const std::vector<std::string>& args, common::ITaskScheduler& taskScheduler,
           common::IParams& store, IQtPlatform*) -> std::unique_ptr<common::IApplication> {
        return std::make_unique<quorvane::unattended::UnattendedInstallerApplication>(
            args, taskScheduler, store);
    };

    auto application = common::IApplication::create(*arguments, *scheduler, *params, nullptr);
    int exitCode = 1;
    if (application && application->init()) {
        scheduler->run();
        exitCode = static_cast<int>(application->exitCode());
        // The result line is what the user-started copy waits for: write it
        // out before anything else can go wrong.
        std::printf("<exitcode>%d</exitcode>\n", exitCode);
        std::fflush(stdout);
    }

    application.reset();
    params.reset();
    scheduler.reset();
    arguments.reset();
    return exitCode;
}
