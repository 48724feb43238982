#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "RecordingLogger.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "platform/appkit/Application.h"
#include "platform/dispatch/MainQueue.h"
#include "support/LoopRunner.h"

using common::ITaskQueue;
using common::TaskSchedulerMac;
using platform::appkit::Application;
using testsupport::RecordingLogger;
using Clock = std::chrono::steady_clock;

namespace {

using namespace std::chrono_literals;

// Runs the application loop itself (not through a scheduler) for `duration`.
// True when the loop ran that long, that is, nothing else stopped it earlier.
bool runLoopFor(std::chrono::milliseconds duration) {
    return !looptest::runLoop(duration);
}

// Runs the scheduler, stopped from outside after ten seconds; true when it
// returned 0 by itself before.
bool runsAndReturnsZero(TaskSchedulerMac& scheduler) {
    int status = -1;
    return looptest::withinLimit(10s, [&] { status = scheduler.run(); }) && status == 0;
}

class TaskSchedulerMacTest : public ::testing::Test {
protected:
    std::shared_ptr<RecordingLogger::Lines> lines = std::make_shared<RecordingLogger::Lines>();

    std::shared_ptr<TaskSchedulerMac> make(std::chrono::milliseconds tick) {
        return TaskSchedulerMac::create(tick, std::make_unique<RecordingLogger>(lines));
    }
};

TEST_F(TaskSchedulerMacTest, TenDueTasksRunOnePerTickInOrderOnTheRunningThread) {
    constexpr auto kTick = 20ms;
    auto scheduler = make(kTick);
    auto queue = scheduler->createQueue("Main");
    std::vector<int> order;
    std::vector<Clock::time_point> times;
    bool offThread = false;
    const auto runner = std::this_thread::get_id();
    for (int i = 0; i < 10; ++i) {
        queue->push([&, i](bool&, unsigned long) {
            offThread |= std::this_thread::get_id() != runner;
            order.push_back(i);
            times.push_back(Clock::now());
            if (i == 9) {
                scheduler->stop();
            }
        });
    }
    EXPECT_TRUE(runsAndReturnsZero(*scheduler));
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), order);
    EXPECT_FALSE(offThread);
    ASSERT_EQ(10u, times.size());
    // Ten tasks take nine more ticks after the first; ticks never come
    // closer together on average than the interval.
    EXPECT_GE(times.back() - times.front(), 7 * kTick);
}

TEST_F(TaskSchedulerMacTest, FinishingTheLastQueueInsideATaskEndsRunPromptly) {
    auto scheduler = make(10ms);
    auto queue = scheduler->createQueue("Only");
    bool finished = false;
    queue->push([&](bool&, unsigned long) {
        queue->finish([&](bool&, unsigned long) { finished = true; });
    });
    Clock::time_point finishedAt;
    queue->push([&](bool&, unsigned long) { finishedAt = Clock::now(); }, 1min);
    EXPECT_TRUE(runsAndReturnsZero(*scheduler)) << "run did not return by itself";
    const auto returnedAt = Clock::now();
    EXPECT_TRUE(finished);
    EXPECT_LT(returnedAt - finishedAt, 2s);
}

TEST_F(TaskSchedulerMacTest, RunWhileRunningReturnsOneWithoutNesting) {
    auto scheduler = make(5ms);
    auto queue = scheduler->createQueue("Main");
    int nested = -1;
    int ticksAfter = 0;
    queue->push([&](bool&, unsigned long) { nested = scheduler->run(); });
    queue->push([&](bool& again, unsigned long) {
        again = ++ticksAfter < 3;
        if (!again) {
            scheduler->stop();
        }
    });
    EXPECT_TRUE(runsAndReturnsZero(*scheduler));
    EXPECT_EQ(1, nested);
    EXPECT_EQ(3, ticksAfter);
}

TEST_F(TaskSchedulerMacTest, StopFromAnotherThreadEndsRun) {
    auto scheduler = make(5ms);
    auto queue = scheduler->createQueue("Main");
    std::atomic<bool> started{false};
    queue->push([&](bool&, unsigned long) { started = true; });
    std::thread stopper([&] {
        while (!started) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(20ms);
        scheduler->stop();
    });
    EXPECT_TRUE(runsAndReturnsZero(*scheduler));
    stopper.join();
    // Stopped for good: a second run gets no more ticks.
    queue->push([](bool&, unsigned long) {});
    EXPECT_TRUE(runLoopFor(40ms));
    EXPECT_EQ(1u, scheduler->taskCount());
}

TEST_F(TaskSchedulerMacTest, StopWhileNotRunningEndsTheTicksButNotSomebodyElsesLoop) {
    auto scheduler = make(5ms);
    auto queue = scheduler->createQueue("Main");
    int ran = 0;
    queue->push([&](bool&, unsigned long) { ++ran; });
    scheduler->stop();
    EXPECT_TRUE(runLoopFor(60ms)) << "the stop request ended a loop it did not run";
    EXPECT_EQ(0, ran);
    // Nor does the stop request of a scheduler destroyed since.
    auto gone = make(1ms);
    gone->stop();
    gone.reset();
    EXPECT_TRUE(runLoopFor(40ms));
}

TEST_F(TaskSchedulerMacTest, TicksComeWhileAnyoneServesTheMainQueue) {
    auto scheduler = make(5ms);
    auto queue = scheduler->createQueue("Main");
    int ran = 0;
    queue->push([&](bool& again, unsigned long) {
        again = ++ran < 3;
        if (!again) {
            Application::shared().stop();
        }
    });
    EXPECT_FALSE(runLoopFor(10s));
    EXPECT_EQ(3, ran);
}

TEST_F(TaskSchedulerMacTest, SchedulerDestroyedWithoutRunOrStopNeverReachesFreedMemory) {
    auto scheduler = make(1ms);
    auto queue = scheduler->createQueue("Main");
    int ran = 0;
    queue->push([&](bool& again, unsigned long) {
        ++ran;
        again = true;
    });
    std::this_thread::sleep_for(20ms);  // ticks are due by now
    scheduler.reset();
    runLoopFor(50ms);
    EXPECT_EQ(0, ran);
    queue.reset();
    EXPECT_TRUE(lines->isLoggerDestroyed());
}

TEST_F(TaskSchedulerMacTest, SchedulerReleasedByItsOwnTaskGoesAfterTheTick) {
    auto scheduler = make(1ms);
    auto queue = scheduler->createQueue("Main");
    bool aliveDuringTask = false;
    queue->push([&](bool& again, unsigned long) {
        scheduler.reset();
        aliveDuringTask = !lines->isLoggerDestroyed();
        again = true;  // the scheduler is used after the task returns
        Application::shared().stop();
    });
    EXPECT_FALSE(runLoopFor(10s));
    EXPECT_TRUE(aliveDuringTask);
    EXPECT_TRUE(lines->isLoggerDestroyed());
}

TEST_F(TaskSchedulerMacTest, SchedulerDestroyedOnAnotherThreadWhileTicking) {
    for (int round = 0; round < 10; ++round) {
        std::atomic<int> ran{0};
        auto scheduler = make(1ms);
        auto queue = scheduler->createQueue("Main");
        queue->push([&](bool& again, unsigned long) {
            ++ran;
            again = true;
        });
        std::thread owner([&, held = std::move(scheduler)]() mutable {
            while (ran < 3) {
                std::this_thread::sleep_for(1ms);
            }
            held.reset();
            platform::dispatch::asyncMain([] { Application::shared().stop(); });
        });
        EXPECT_FALSE(runLoopFor(10s));
        owner.join();
        const int total = ran;
        EXPECT_GE(total, 3);
        runLoopFor(10ms);
        EXPECT_EQ(total, ran) << "a tick reached the destroyed scheduler";
        queue.reset();
    }
}

}  // namespace
