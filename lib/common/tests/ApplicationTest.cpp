#include <gtest/gtest.h>

#include "common/Delegate.h"
#include "common/application/Application.h"
#include "common/params/CommandLineParams.h"
#include "common/taskscheduler/ITaskScheduler.h"
#include "support/LogCapture.h"

using namespace common;

namespace {

// The scheduler is only handed through by the framework; nothing is called.
class UnusedScheduler : public ITaskScheduler {
public:
    std::unique_ptr<ITaskQueue> createQueue(const std::string&) override { return nullptr; }
    int run() override { return 0; }
    void stop() override {}
    void process(std::function<bool()>) override {}
    void runOne(const std::string&, bool) override {}
    std::size_t taskCount() override { return 0; }
};

class ProbeApplication : public Application {
public:
    using Application::Application;
    bool init() override { return true; }
    using Application::arguments;
    using Application::params;
};

const std::string kAssertPart = "Assertion failed:(";

TEST(ApplicationTest, CreateUsesTheRegisteredFactoryAndFailsCleanlyWithout) {
    const auto run = testsupport::runLogged([] {
        UnusedScheduler scheduler;
        CommandLineParams params({"prog", "-Lang", "fr"});
        IApplication::createDelegate = nullptr;
        if (IApplication::create({"prog"}, scheduler, params, nullptr) != nullptr) {
            return 2;
        }
        std::vector<std::string> seen;
        IApplication::createDelegate = [&seen](const std::vector<std::string>& arguments,
                                               ITaskScheduler&, IParams& store, IQtPlatform* qt) {
            seen = arguments;
            auto app = std::make_unique<ProbeApplication>(arguments, store);
            return qt == nullptr ? std::unique_ptr<IApplication>(std::move(app)) : nullptr;
        };
        auto app = IApplication::create({"prog", "-x"}, scheduler, params, nullptr);
        if (!app || seen != std::vector<std::string>{"prog", "-x"}) {
            return 3;
        }
        auto* probe = static_cast<ProbeApplication*>(app.get());
        if (probe->arguments().size() != 2 || probe->params().getValue("Lang", "") != "fr" ||
            probe->exitCode() != 0 || probe->flagA() || probe->flagB()) {
            return 4;
        }
        return 0;
    });
    ASSERT_EQ(0, run.result.exitCode) << run.text();
    EXPECT_TRUE(run.hasPart("error", "assert",
                            "Assertion failed:(createDelegate != nullptr) with message: "
                            "\"createDelegate is empty\""))
        << run.text();
}

class Listener : public IApplicationDelegate {};

TEST(ApplicationTest, DelegateReplacementIsReportedAndNullClears) {
    const auto run = testsupport::runLogged([] {
        Delegate<IApplicationDelegate> holder;
        Listener first, second;
        holder.setDelegate(&first);
        holder.setDelegate(&second);
        if (holder.delegate() != &second) {
            return 2;
        }
        holder.setDelegate(nullptr);
        if (holder.hasDelegate()) {
            return 3;
        }
        holder.setDelegate(&first);
        return holder.delegate() == &first ? 0 : 4;
    });
    ASSERT_EQ(0, run.result.exitCode) << run.text();
    EXPECT_EQ(1, run.countOnChannel("assert")) << run.text();
    EXPECT_TRUE(
        run.hasPart("error", "assert", "(!hasDelegate()) with message: \"Don't replace delegate\""));
}

TEST(ApplicationTest, BaseQuitReportsAndGoesOn) {
    const auto run = testsupport::runLogged([] {
        CommandLineParams params({"prog"});
        ProbeApplication app({"prog"}, params);
        app.quit();
        return 0;
    });
    ASSERT_EQ(0, run.result.exitCode);
    EXPECT_TRUE(run.hasPart("error", "assert",
                            "Base class quit function implementation is called. Overwrite it if "
                            "you are planning to call it."));
}

TEST(ApplicationTest, IpcControllerIsReportedAsUnavailable) {
    const auto run = testsupport::runLogged([] {
        UnusedScheduler scheduler;
        CommandLineParams params({"prog", "-InstallationId", "abc", "-IpcOverLocalSocket", "0"});
        ProbeApplication app({"prog"}, params);
        return app.createIpcController(scheduler, nullptr, "UnattendedUpdater") == nullptr ? 0 : 2;
    });
    ASSERT_EQ(0, run.result.exitCode);
    EXPECT_TRUE(run.hasPart("error", "Application", "installation 'abc', message queues"))
        << run.text();
}

}  // namespace
