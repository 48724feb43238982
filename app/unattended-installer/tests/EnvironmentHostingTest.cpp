// The network library's environment as the installer hosts it, run in a
// child process of its own (the window, the Qt thread and logging are
// process-wide): created and polled from the application queue in the
// user-started role only, released by the teardown.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "UnattendedInstallerApplication.h"
#include "common/params/CommandLineParams.h"
#include "common/params/Params.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "extension/EventLoopEnvironment.h"
#include "support/LogCapture.h"
#include "support/LoopRunner.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using quorvane::unattended::UnattendedInstallerApplication;

void probe(const std::string& text) {
    common::createLogger("Probe")->info("%s", text.c_str());
}

std::string flag(bool value) {
    return value ? "yes" : "no";
}

// Runs the application with `arguments` (after the program name) on a real
// 10 ms scheduler in a child process and returns what it logged.
testsupport::LoggedRun runApplication(
    const std::vector<std::string>& arguments,
    const std::function<void(UnattendedInstallerApplication&, common::TaskSchedulerMac&)>& body) {
    return testsupport::runLogged([&] {
        // Standard input that never ends, whatever the test was given: the
        // end of input would end the run once its outcome shows.
        int input[2];
        if (::pipe(input) != 0 || ::dup2(input[0], STDIN_FILENO) < 0) {
            return 90;
        }
        // The credential store the application opens lives under a home
        // folder of the test's own, not the user's.
        const testsupport::TempDir home("installer-environment-home");
        ::setenv("HOME", home.path().c_str(), 1);
        std::vector<std::string> argv{"/opt/probe/installer"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        common::Params params;
        params.addLayer(std::make_unique<common::CommandLineParams>(argv), 2, false);
        auto scheduler =
            common::TaskSchedulerMac::create(10ms, common::createLogger("TaskScheduler"));
        {
            UnattendedInstallerApplication application(argv, *scheduler, params);
            body(application, *scheduler);
        }
        return 0;
    });
}

// A callback posted to the environment runs on the main thread while the
// loop runs; after the teardown the environment is gone and so is its poll
// task (a poll task that went on would keep the teardown from returning).
TEST(EnvironmentHostingTest, TheUserStartedRoleCreatesAndPollsTheEnvironmentUntilTheTeardown) {
    testsupport::TempDir work("installer-environment");
    const auto run = runApplication(
        {"-Offline", "true", "-Lang", "en", "-WorkFolder", work.path()},
        [](UnattendedInstallerApplication& application, common::TaskSchedulerMac& scheduler) {
            const bool started = application.init();
            std::weak_ptr<extension::EventLoopEnvironment> environment = application.environment();
            const auto main = std::this_thread::get_id();
            bool onMain = false;
            if (const auto hosted = environment.lock()) {
                // Due after some ticks: the task polls again and again.
                hosted->Post(std::chrono::steady_clock::now() + 100ms, [&] {
                    onMain = std::this_thread::get_id() == main;
                    scheduler.stop();
                });
            }
            const bool polled = looptest::withinLimit(10s, [&] { scheduler.run(); });
            application.quit();
            probe("user: init=" + flag(started) + " polled=" + flag(polled && onMain) +
                  " released=" + flag(environment.expired() && !application.environment()) +
                  " tasks=" + std::to_string(scheduler.taskCount()));
        });
    EXPECT_TRUE(run.has("info", "Probe", "user: init=yes polled=yes released=yes tasks=0"))
        << run.text();
    EXPECT_TRUE(run.has("info", "UnattendedInstaller", "over and out"));
}

// The install task is all that is queued, and the loop ends with it.
TEST(EnvironmentHostingTest, TheElevatedRoleCreatesNoEnvironment) {
    const auto run = runApplication(
        // A request the elevated copy refuses before it changes anything.
        {"-PrivilegedInstall", "-NoSuchOption", "x"},
        [](UnattendedInstallerApplication& application, common::TaskSchedulerMac& scheduler) {
            const bool started = application.init();
            const auto queued = scheduler.taskCount();
            const bool hosted = application.environment() != nullptr;
            const bool ended = looptest::withinLimit(10s, [&] { scheduler.run(); });
            probe("elevated: init=" + flag(started) + " environment=" + flag(hosted) +
                  " queued=" + std::to_string(queued) + " ended=" + flag(ended));
        });
    EXPECT_TRUE(run.has("info", "Probe", "elevated: init=yes environment=no queued=1 ended=yes"))
        << run.text();
}

}  // namespace
