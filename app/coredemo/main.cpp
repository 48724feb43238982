// coredemo: the shared start-up with an elevated relaunch.
//
// Relaunches itself as root (-ExitCode N) and reports what the elevated role
// (-Elevated -ExitCode N) ended with; the usage below says more.

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>

#include "CoreDemoApplication.h"
#include "ToolUsage.h"
#include "common/application/IApplication.h"
#include "common/logging/ILogger.h"
#include "common/params/CommandLineParams.h"
#include "common/params/Params.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "common/utils/Arguments.h"

namespace {

constexpr int kCommandLinePriority = 2;

// A whole number from 0 to 255, written in decimal digits only.
bool isExitCode(const std::string& text) {
    return !text.empty() && text.size() <= 3 &&
           text.find_first_not_of("0123456789") == std::string::npos && std::stoi(text) <= 255;
}

// What is wrong with the command line (argv[0] first), or nothing: the flag
// -Elevated and the option -ExitCode with its number, each at most once,
// names without regard to case, and nothing else.
std::string commandLineProblem(const std::vector<std::string>& arguments) {
    bool elevated = false;
    bool exitCode = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (boost::algorithm::iequals(argument, "-Elevated")) {
            if (elevated) {
                return "-Elevated given twice";
            }
            elevated = true;
            if (i + 1 < arguments.size() && !arguments[i + 1].starts_with("-")) {
                return "-Elevated takes no value, not '" + arguments[i + 1] + "'";
            }
        } else if (boost::algorithm::iequals(argument, "-ExitCode")) {
            if (exitCode) {
                return "-ExitCode given twice";
            }
            exitCode = true;
            if (i + 1 >= arguments.size()) {
                return "-ExitCode needs a whole number from 0 to 255";
            }
            if (!isExitCode(arguments[++i])) {
                return "-ExitCode must be a whole number from 0 to 255, not '" + arguments[i] + "'";
            }
        } else {
            return "unknown argument '" + argument + "'";
        }
    }
    return exitCode ? "" : "no -ExitCode";
}

}  // namespace

int main(int argc, char** argv) {
    const toolsupport::ToolUsage usage(
        argc > 0 ? argv[0] : "coredemo", "[-Elevated] -ExitCode N",
        "Relaunches itself with administrator rights (through pkexec or sudo unless run as\n"
        "root); the elevated copy (-Elevated) prints the user it runs as and ends with N. Both\n"
        "print \"<exitcode>N</exitcode>\" at the end.\n"
        "Exit status: N (0 to 255) when the elevated run ended with it; 1 when it could not be\n"
        "started or ended otherwise; 64 a wrong command line.\n");
    if (usage.helpRequested(argc, argv)) {
        return 0;
    }
    std::signal(SIGPIPE, SIG_IGN);
    auto arguments = common::argsFromArgv(argc, argv);
    if (const std::string problem = commandLineProblem(arguments); !problem.empty()) {
        return usage.refuse(problem);
    }
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
