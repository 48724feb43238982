#include "CoreDemoApplication.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/params/IParams.h"
#include "common/utils/ElevatedExecution.h"
#include "common/utils/Paths.h"

namespace quorvane::coredemo {

CoreDemoApplication::CoreDemoApplication(const std::vector<std::string>& arguments,
                                         common::ITaskScheduler& scheduler, common::IParams& params)
    : Application(arguments, params), scheduler_(scheduler) {}

CoreDemoApplication::~CoreDemoApplication() {
    quit();
}

bool CoreDemoApplication::init() {
    if (!params_.hasValue("ExitCode")) {
        std::fprintf(stderr, "usage: coredemo [-Elevated] -ExitCode N\n");
        return false;
    }
    requestedCode_ = params_.get<int>("ExitCode", 0);
    const bool elevated = params_.get<bool>("Elevated", false);
    queue_ = scheduler_.createQueue("CoreDemo");
    queue_->push([this, elevated](bool&, unsigned long) {
        if (elevated) {
            runElevatedRole();
        } else {
            relaunchElevated();
        }
        quit();
    });
    return true;
}

void CoreDemoApplication::quit() {
    // Finishing the only queue stops the scheduler, and run returns.
    if (queue_ && !finished_) {
        finished_ = true;
        queue_->finish();
    }
}

int CoreDemoApplication::exitCode() const {
    return exitCode_;
}

void CoreDemoApplication::runElevatedRole() {
    std::printf("elevated copy running as user %d\n", static_cast<int>(::geteuid()));
    std::fflush(stdout);
    exitCode_ = requestedCode_;
}

void CoreDemoApplication::relaunchElevated() {
    const std::string executable = common::getExecutablePath();
    std::string code = std::to_string(requestedCode_);
    std::string elevatedFlag = "-Elevated";
    std::string codeOption = "-ExitCode";
    char* arguments[] = {elevatedFlag.data(), codeOption.data(), code.data(), nullptr};
    const int answer = common::runElevated(executable.c_str(), arguments);
    std::printf("elevated run answered %d\n", answer);
    std::fflush(stdout);
    exitCode_ = answer >= 0 && answer <= 255 ? answer : 1;
}

}  // namespace quorvane::coredemo
