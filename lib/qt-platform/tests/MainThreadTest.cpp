#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QObject>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "MainThread.h"
#include "QtMessageRecorder.h"

namespace {

constexpr const char* kNotStopped = "main loop didn't stop in";

class MainThreadTest : public ::testing::Test {
protected:
    MainThreadTest() {
        if (QCoreApplication::instance() == nullptr) {
            application_ = std::make_unique<QCoreApplication>(argc_, argv_);
        }
    }

    // Posts `function` to the thread's event loop.
    static void post(MainThread& thread, std::function<void()> function) {
        auto* context = new QObject;
        context->moveToThread(&thread);
        QMetaObject::invokeMethod(
            context,
            [context, function] {
                function();
                delete context;
            },
            Qt::QueuedConnection);
    }

    QtMessageRecorder log_;

private:
    int argc_ = 1;
    char name_[12] = "thread-test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> application_;
};

TEST_F(MainThreadTest, WaitEndsSoonAfterTheLoopReturns) {
    MainThread thread;
    EXPECT_EQ(1, log_.count("created", "MainThread"));
    thread.start();
    EXPECT_FALSE(thread.waitForStopped(0)) << "a limit of 0 returns at once";
    EXPECT_EQ(1, log_.count("main loop didn't stop in 0 ms, and had to be terminated"));

    thread.quit();
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(thread.waitForStopped(5000));
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_TRUE(thread.isFinished());
    EXPECT_EQ(1, log_.count("main loop finished with result 0"));
    EXPECT_EQ(2, log_.count("waiting to main loop to stop", "MainThread"));

    clock.restart();
    EXPECT_TRUE(thread.waitForStopped(0));
    EXPECT_TRUE(thread.waitForStopped(5000));
    EXPECT_LT(clock.elapsed(), 250) << "a wait after the end does not sleep";
    EXPECT_EQ(1, log_.count(kNotStopped));
}

TEST_F(MainThreadTest, ALoopThatDoesNotEndMakesTheWaitFailAfterTheLimit) {
    MainThread thread;
    thread.start();
    std::atomic<bool> release{false};
    std::atomic<bool> busy{false};
    post(thread, [&] {
        busy = true;
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    while (!busy) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread.quit();
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(thread.waitForStopped(300));
    EXPECT_GE(clock.elapsed(), 300);
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_EQ(1, log_.count("main loop didn't stop in 300 ms, and had to be terminated"));
    release = true;
    EXPECT_TRUE(thread.waitForStopped(5000));
}

// The loop has returned before the thread is done: what it does afterwards (the deletions
// deferred to it, the finished signal) is waited for too, so that nothing the thread still uses
// goes away beneath it.
TEST_F(MainThreadTest, TheWaitCoversWhatTheThreadDoesAfterItsLoop) {
    MainThread thread;
    std::atomic<bool> finishing{false};
    std::atomic<bool> done{false};
    QObject::connect(
        &thread, &QThread::finished, &thread,
        [&] {
            finishing = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            done = true;
        },
        Qt::DirectConnection);
    thread.start();
    thread.quit();
    EXPECT_TRUE(thread.waitForStopped(5000));
    EXPECT_TRUE(finishing);
    EXPECT_TRUE(done) << "the wait returned while the thread was still finishing";
}

TEST_F(MainThreadTest, AThreadThatNeverRanHasNotStopped) {
    MainThread thread;
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(thread.waitForStopped(5000));
    EXPECT_LT(clock.elapsed(), 1000) << "nothing to wait for";
    EXPECT_EQ(1, log_.count("main loop didn't stop in 5000 ms, and had to be terminated"));
}

}  // namespace
