#include <gtest/gtest.h>

#include "ManualTaskScheduler.h"
#include "common/application/Application.h"
#include "common/params/CommandLineParams.h"
#include "common/params/Params.h"
#include "interprocess/controller/IpcLocalSocketController.h"
#include "support/LogCapture.h"

namespace {

using common::IApplication;

class TestApplication : public common::Application {
public:
    TestApplication(const std::vector<std::string>& arguments, common::IParams& params,
                    std::string kind)
        : Application(arguments, params), kind(std::move(kind)) {}

    bool init() override { return true; }

    const std::vector<std::string>& arguments() const { return arguments_; }
    common::IParams& params() { return params_; }

    std::string kind;
};

class Listener : public common::IApplicationDelegate {};

class ApplicationTest : public ::testing::Test {
protected:
    void TearDown() override { IApplication::createDelegate = nullptr; }

    std::shared_ptr<testsupport::RecordingLogger::Lines> lines_ =
        std::make_shared<testsupport::RecordingLogger::Lines>();
    testsupport::ManualTaskScheduler scheduler_{lines_};
    common::Params params_;
};

TEST_F(ApplicationTest, CreateUsesTheFactoryRegisteredLast) {
    const std::vector<std::string> arguments = {"/bin/tool", "-Flag"};
    common::ITaskScheduler* seenScheduler = nullptr;
    IQtPlatform* seenQt = reinterpret_cast<IQtPlatform*>(0x1);
    auto factory = [&](const std::string& kind) {
        return [&, kind](const std::vector<std::string>& args, common::ITaskScheduler& scheduler,
                         common::IParams& params, IQtPlatform* qt) {
            seenScheduler = &scheduler;
            seenQt = qt;
            return std::make_unique<TestApplication>(args, params, kind);
        };
    };
    IApplication::createDelegate = factory("first");
    IApplication::createDelegate = factory("second");
    auto application = IApplication::create(arguments, scheduler_, params_, nullptr);
    ASSERT_NE(nullptr, application);
    auto* test = dynamic_cast<TestApplication*>(application.get());
    ASSERT_NE(nullptr, test);
    EXPECT_EQ("second", test->kind);
    EXPECT_EQ(arguments, test->arguments());
    EXPECT_EQ(&params_, &test->params());
    EXPECT_EQ(&scheduler_, seenScheduler);
    EXPECT_EQ(nullptr, seenQt);
    EXPECT_TRUE(application->init());
}

// One child runs what the base class reports: creation without a factory,
// the base quit and a replaced delegate. Each report is written once.
TEST_F(ApplicationTest, BaseBehaviourAndItsReports) {
    const auto run = testsupport::runLogged([&] {
        IApplication::createDelegate = nullptr;
        if (IApplication::create({"/bin/tool"}, scheduler_, params_, nullptr) != nullptr) {
            return 2;
        }
        TestApplication application({"/bin/tool"}, params_, "base");
        application.onLocalSocketMessage("{\"ignored\": true}");
        application.quit();
        if (application.exitCode() != 0 || application.flagA() || application.flagB() ||
            application.hasDelegate()) {
            return 3;
        }
        Listener first, second;
        application.setDelegate(&first);
        application.setDelegate(&second);
        const bool replaced = application.delegate() == &second;
        application.setDelegate(nullptr);
        if (!replaced || application.hasDelegate()) {
            return 4;
        }
        return 0;
    });
    EXPECT_EQ(0, run.result.exitCode);
    for (const char* report :
         {"(createDelegate != nullptr) with message: \"createDelegate is empty\"",
          "(false) with message: \"Base class quit function implementation is called. Overwrite "
          "it if you are planning to call it.\"",
          "(!hasDelegate()) with message: \"Don't replace delegate\""}) {
        EXPECT_EQ(1, run.countPart("error", "assert", std::string("Assertion failed:") + report))
            << run.text();
    }
}

TEST_F(ApplicationTest, TheMessageQueueSwitchChoosesTheController) {
    const auto run = testsupport::runLogged([this] {
        params_.addLayer(std::make_unique<common::CommandLineParams>(std::vector<std::string>{
                             "prog", "-InstallationId", "abc", "-IpcOverLocalSocket", "0"}),
                         2, false);
        TestApplication app({"prog"}, params_, "probe");
        // Queues hold their scheduler through a shared pointer.
        auto scheduler = std::make_shared<testsupport::ManualTaskScheduler>(lines_);
        if (app.createIpcController(*scheduler, nullptr, "UnattendedUpdater") == nullptr) {
            return 2;
        }
        common::Params byDefault;
        byDefault.addLayer(std::make_unique<common::CommandLineParams>(
                               std::vector<std::string>{"prog", "-InstallationId", "abc"}),
                           2, false);
        TestApplication other({"prog"}, byDefault, "probe");
        if (other.createIpcController(*scheduler, nullptr, "UnattendedUpdater") != nullptr) {
            return 3;
        }
        // Given a socket plug-in, the default is the controller over local sockets.
        struct NoSockets : IIpcQtSocketPlugin {
            void initThread(QThread*) override {}
            IpcLocalSocketPtr createIpcLocalSocket(
                const std::string&, const std::string&,
                IIpcLocalSocket::SocketConnectCallback) const override {
                return nullptr;
            }
            IpcLocalServerPtr createIpcLocalServer(const std::string&,
                                                   ServerConnectCallback) const override {
                return nullptr;
            }
        } plugin;
        const auto controller = other.createIpcController(*scheduler, &plugin, "Unattended");
        return dynamic_cast<interprocess::IpcLocalSocketController*>(controller.get()) != nullptr
                   ? 0
                   : 4;
    });
    EXPECT_EQ(0, run.result.exitCode);
    EXPECT_TRUE(run.hasPart("error", "Application",
                            "cannot create IpcLocalSocketController for "
                            "'UnattendedUpdater' (installation 'abc')"))
        << run.text();
}

}  // namespace
