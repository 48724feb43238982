#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/appkit/Application.h"
#include "platform/dispatch/MainQueue.h"
#include "support/ChildProcess.h"
#include "support/LoopRunner.h"

using platform::appkit::Application;
using platform::appkit::ApplicationDelegate;
using platform::dispatch::asyncMain;

namespace {

using namespace std::chrono_literals;

TEST(ApplicationTest, WorkPostedFromOtherThreadsRunsOnTheLoopThreadInOrder) {
    auto& application = Application::shared();
    const auto loopThread = std::this_thread::get_id();
    std::vector<int> first, second;
    std::atomic<int> done{0};
    bool offThread = false;
    auto producer = [&](std::vector<int>& into) {
        return std::thread([&] {
            std::this_thread::sleep_for(20ms);  // the loop is idle by now
            for (int i = 0; i < 200; ++i) {
                asyncMain([&, i] {
                    offThread |= std::this_thread::get_id() != loopThread;
                    into.push_back(i);
                });
            }
            asyncMain([&] {
                if (++done == 2) {
                    application.stop();
                }
            });
        });
    };
    auto a = producer(first);
    auto b = producer(second);
    EXPECT_TRUE(looptest::runLoop());
    a.join();
    b.join();
    EXPECT_FALSE(offThread);
    ASSERT_EQ(200u, first.size());
    ASSERT_EQ(200u, second.size());
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(i, first[i]);
        EXPECT_EQ(i, second[i]);
    }
    EXPECT_FALSE(application.isRunning());
}

TEST(ApplicationTest, StopEndsRunAfterTheCurrentItemAndLaterWorkWaitsForTheNextRun) {
    auto& application = Application::shared();
    std::vector<int> ran;
    asyncMain([&] {
        ran.push_back(1);
        EXPECT_TRUE(application.isRunning());
        application.stop();
        ran.push_back(2);
    });
    asyncMain([&] { ran.push_back(3); });
    EXPECT_TRUE(looptest::runLoop());
    EXPECT_EQ((std::vector<int>{1, 2}), ran);

    asyncMain([&] { application.stop(); });
    EXPECT_TRUE(looptest::runLoop());
    EXPECT_EQ((std::vector<int>{1, 2, 3}), ran);
}

TEST(ApplicationTest, StopWhileNotRunningHasNoEffectOnTheNextRun) {
    auto& application = Application::shared();
    application.stop();
    int items = 0;
    asyncMain([&] { ++items; });
    EXPECT_FALSE(looptest::runLoop(60ms)) << "the loop ended before its limit";
    EXPECT_EQ(1, items);
}

TEST(ApplicationTest, PostedEventWakesAnIdleLoopSoThatStopFromAnotherThreadTakesEffect) {
    auto& application = Application::shared();
    std::atomic<bool> running{false};
    asyncMain([&] { running = true; });
    std::thread stopper([&] {
        while (!running) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(20ms);  // the loop is waiting for work
        application.stop();
        application.postEvent(platform::appkit::Event{}, true);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(looptest::runLoop());
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(ApplicationTest, RunInsideTheLoopReturnsAtOnce) {
    auto& application = Application::shared();
    bool after = false;
    asyncMain([&] {
        application.run();
        after = true;
        application.stop();
    });
    EXPECT_TRUE(looptest::runLoop());
    EXPECT_TRUE(after);
}

TEST(ApplicationTest, ModalRunNestsInsideAWorkItemAndStopModalEndsOnlyIt) {
    auto& application = Application::shared();
    std::vector<std::string> trace;
    asyncMain([&] {
        trace.push_back("before modal");
        asyncMain([&] { trace.push_back("inside modal"); });
        asyncMain([&] {
            application.runModal();  // a second session does not start
            trace.push_back("stopping modal");
            application.stopModal();
        });
        application.runModal();
        trace.push_back("after modal");
        EXPECT_TRUE(application.isRunning());
        asyncMain([&] {
            trace.push_back("main loop again");
            application.stop();
        });
    });
    EXPECT_TRUE(looptest::runLoop());
    EXPECT_EQ((std::vector<std::string>{"before modal", "inside modal", "stopping modal",
                                        "after modal", "main loop again"}),
              trace);
}

TEST(ApplicationTest, ModalRunWorksBeforeTheLoopHasStarted) {
    auto& application = Application::shared();
    bool served = false;
    asyncMain([&] {
        served = true;
        application.stopModal();
    });
    application.runModal();
    EXPECT_TRUE(served);
    EXPECT_FALSE(application.isRunning());
}

class CountingDelegate : public ApplicationDelegate {
public:
    void applicationDidFinishLaunching() override { ++launched; }
    bool applicationShouldTerminateAfterLastWindowClosed() override {
        ++askedAfterLastWindow;
        return terminateAfterLastWindow;
    }
    bool applicationShouldTerminate() override {
        ++askedTerminate;
        return terminate;
    }

    int launched = 0;
    int askedAfterLastWindow = 0;
    int askedTerminate = 0;
    bool terminateAfterLastWindow = false;
    bool terminate = false;
};

// Scenarios that end the process run in a child of their own.
int inChild(const std::function<int()>& scenario) {
    const auto result = testsupport::runInChild(scenario);
    EXPECT_FALSE(result.timedOut);
    EXPECT_TRUE(result.exited);
    return result.exitCode;
}

TEST(ApplicationTest, DelegateLearnsOnceThatLaunchingFinished) {
    auto& application = Application::shared();
    CountingDelegate delegate;
    application.setDelegate(&delegate);
    EXPECT_EQ(0, delegate.launched) << "told before the loop started";
    for (int i = 0; i < 2; ++i) {
        asyncMain([&] { application.stop(); });
        EXPECT_TRUE(looptest::runLoop());
        EXPECT_EQ(1, delegate.launched);
    }
    application.setDelegate(nullptr);
}

TEST(ApplicationTest, TerminateAsksTheDelegateAndEndsTheProcessWithStatusZero) {
    EXPECT_EQ(5, inChild([] {
                  CountingDelegate delegate;
                  Application::shared().setDelegate(&delegate);
                  Application::shared().terminate();
                  return delegate.askedTerminate == 1 ? 5 : 6;
              }))
        << "a refusing delegate keeps the process";
    EXPECT_EQ(0, inChild([] {
                  CountingDelegate delegate;
                  delegate.terminate = true;
                  Application::shared().setDelegate(&delegate);
                  Application::shared().terminate();
                  return 7;
              }));
    EXPECT_EQ(0, inChild([] {
                  Application::shared().terminate();
                  return 7;
              }))
        << "without a delegate the process ends";
}

TEST(ApplicationTest, LastWindowClosedDoesNotTerminateUnlessTheDelegateSaysSo) {
    EXPECT_EQ(5, inChild([] {
                  CountingDelegate delegate;
                  delegate.terminate = true;
                  Application::shared().setDelegate(&delegate);
                  Application::shared().lastWindowClosed();
                  return delegate.askedAfterLastWindow == 1 && delegate.askedTerminate == 0 ? 5 : 6;
              }));
    // An agreeing delegate ends the process: see AppKitWindowTest.
}

}  // namespace
