#pragma once

#include <memory>

#include "common/application/Application.h"
#include "common/taskscheduler/ITaskQueue.h"
#include "common/taskscheduler/ITaskScheduler.h"

namespace quorvane::coredemo {

// A small program on the shared start-up. Started with "-Elevated -ExitCode
// N" it ends with the exit code N (which the entry point prints as
// "<exitcode>N</exitcode>"). Started with "-ExitCode N" alone it relaunches
// its own executable in that role with administrator rights, prints
// "elevated run answered R" with what it read back, and ends with R when R is
// an exit code (0 to 255), else 1.
class CoreDemoApplication : public common::Application {
public:
    CoreDemoApplication(const std::vector<std::string>& arguments,
                        common::ITaskScheduler& scheduler, common::IParams& params);
    ~CoreDemoApplication() override;

    bool init() override;
    void quit() override;
    int exitCode() const override;

private:
    void runElevatedRole();
    void relaunchElevated();

    common::ITaskScheduler& scheduler_;
    std::unique_ptr<common::ITaskQueue> queue_;
    bool finished_ = false;
    int requestedCode_ = 0;
    int exitCode_ = 0;
};

}  // namespace quorvane::coredemo
