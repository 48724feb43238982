// coredemo: the shared start-up with an elevated relaunch.
//
//   coredemo -ExitCode N             relaunches itself as root and reports
//   coredemo -Elevated -ExitCode N   the elevated role: ends with code N

#include <csignal>
#include <cstdio>
#include <memory>

#include "CoreDemoApplication.h"
#include "common/application/IApplication.h"
#include "common/logging/ILogger.h"
#include "common/params/CommandLineParams.h"
#include "common/params/Params.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "common/utils/Arguments.h"

namespace {

constexpr int kCommandLinePriority = 2;

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    auto arguments = common::argsFromArgv(argc, argv);
    auto scheduler = common::TaskSchedulerMac::create(std::chrono::milliseconds(10),
                                                      common::createLogger("TaskScheduler"));
    auto params = std::make_unique<common::Params>();
    params->addLayer(std::make_unique<common::CommandLineParams>(arguments), kCommandLinePriority,
                     false);

    common::IApplication::createDelegate =
        [](const std::vector<std::string>& args, common::ITaskScheduler& taskScheduler,
           common::IParams& store, IQtPlatform*) -> std::unique_ptr<common::IApplication> {
        return std::make_unique<quorvane::coredemo::CoreDemoApplication>(args, taskScheduler,
                                                                         store);
    };
    auto application = common::IApplication::create(arguments, *scheduler, *params, nullptr);

    int code = 1;
    if (application && application->init()) {
        scheduler->run();
        code = application->exitCode();
        std::printf("<exitcode>%d</exitcode>\n", code);
        std::fflush(stdout);
    }
    application.reset();
    params.reset();
    scheduler.reset();
    return code;
}
