#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "ManualTaskScheduler.h"
#include "RecordingLogger.h"
#include "common/taskscheduler/TaskScheduler.h"
#include "support/LogCapture.h"

using common::ITaskQueue;
using common::loglevel::debug;
using common::loglevel::trace;
using common::loglevel::warn;
using testsupport::ManualTaskScheduler;
using testsupport::RecordingLogger;
using Clock = std::chrono::steady_clock;

namespace {

using namespace std::chrono_literals;

class TaskSchedulerTest : public ::testing::Test {
protected:
    // A task that appends `tag` to the run order.
    ITaskQueue::Task record(int tag) {
        return [this, tag](bool&, unsigned long) { order.push_back(tag); };
    }

    // Runs due tasks of any queue until `done` holds (or five seconds pass).
    void runUntil(const std::function<bool()>& done) {
        for (const auto start = Clock::now(); !done() && Clock::now() - start < 5s;) {
            scheduler->runOne("", false);
            std::this_thread::sleep_for(1ms);
        }
    }

    // Runs tasks of any queue, as they come due, until none is left.
    void runAll() {
        for (int i = 0; i < 100 && scheduler->taskCount() > 0; ++i) {
            scheduler->runOne("", false);
        }
    }

    std::shared_ptr<RecordingLogger::Lines> lines = std::make_shared<RecordingLogger::Lines>();
    std::shared_ptr<ManualTaskScheduler> scheduler = std::make_shared<ManualTaskScheduler>(lines);
    std::vector<int> order;
};

// Ids count up across queues; higher priorities run first, equal ones first
// in first out (a forced run takes delayed tasks as due).
TEST_F(TaskSchedulerTest, HigherPriorityRunsFirstAndIdsCountUpAcrossQueues) {
    auto queue = scheduler->createQueue("Q");
    auto other = scheduler->createQueue("Other");
    std::vector<unsigned long> ids;
    const auto keep = [&](int tag) {
        return [&, tag](bool&, unsigned long id) {
            order.push_back(tag);
            ids.push_back(id);
        };
    };
    EXPECT_EQ(0u, queue->push(keep(0), 0));
    EXPECT_EQ(1u, other->push(keep(1), 5));
    EXPECT_EQ(2u, queue->push(keep(2), 0));
    EXPECT_EQ(3u, other->push(keep(3), 5));
    EXPECT_EQ(4u, queue->push(keep(4), 2));
    EXPECT_EQ(5u, queue->push(keep(5), 10ms));
    for (int i = 0; i < 6; ++i) {
        scheduler->runOne("", true);
    }
    EXPECT_EQ((std::vector<int>{1, 3, 4, 0, 2, 5}), order);
    EXPECT_EQ((std::vector<unsigned long>{1, 3, 4, 0, 2, 5}), ids);
}

TEST_F(TaskSchedulerTest, DelayedTaskIsNotRunEarlyUnlessForced) {
    auto queue = scheduler->createQueue("Q");
    const auto start = Clock::now();
    queue->push(record(1), 100ms);
    scheduler->runOne("", false);
    EXPECT_TRUE(order.empty());
    runUntil([&] { return !order.empty(); });
    ASSERT_EQ(1u, order.size());
    EXPECT_GE(Clock::now() - start, 99ms);

    queue->push(record(2), 100ms);
    scheduler->runOne("", true);
    EXPECT_EQ((std::vector<int>{1, 2}), order);
}

TEST_F(TaskSchedulerTest, RescheduledTaskKeepsItsIdAndIsDueOneIntervalAfterItsRun) {
    auto queue = scheduler->createQueue("Q");
    std::vector<unsigned long> ids;
    Clock::time_point firstRunEnd, secondRunStart;
    const auto id = queue->push(
        [&](bool& again, unsigned long taskId) {
            ids.push_back(taskId);
            if (ids.size() == 1) {
                again = true;
                firstRunEnd = Clock::now();
            } else {
                secondRunStart = Clock::now();
            }
        },
        50ms);
    scheduler->runOne("", true);
    ASSERT_EQ(1u, ids.size());
    EXPECT_EQ(1u, scheduler->taskCount());
    scheduler->runOne("", false);
    EXPECT_EQ(1u, ids.size()) << "the rescheduled task ran before its interval";
    runUntil([&] { return ids.size() == 2; });
    ASSERT_EQ(2u, ids.size());
    EXPECT_EQ(id, ids[0]);
    EXPECT_EQ(id, ids[1]);
    EXPECT_GE(secondRunStart - firstRunEnd, 49ms);
    EXPECT_EQ(0u, scheduler->taskCount());
    EXPECT_EQ(id + 1, queue->push(record(0))) << "rescheduling took a new id";
}

TEST_F(TaskSchedulerTest, RescheduledPriorityTaskGoesRightAfterTheFirstLowerPriorityTask) {
    auto queue = scheduler->createQueue("Q");
    bool rescheduled = false;
    queue->push(
        [&](bool& again, unsigned long) {
            order.push_back(1);
            again = !rescheduled;
            rescheduled = true;
        },
        5);
    queue->push(record(2), 5);
    queue->push(record(3), 0);
    queue->push(record(4), 0);
    runAll();
    EXPECT_EQ((std::vector<int>{1, 2, 3, 1, 4}), order);
}

TEST_F(TaskSchedulerTest, RepeatingPlainTaskGoesBackToTheEndBehindThePendingDueTasks) {
    auto queue = scheduler->createQueue("Q");
    queue->push([&](bool& again, unsigned long) {
        order.push_back(1);
        again = true;
    });
    queue->push(record(2));
    queue->push([&](bool&, unsigned long) {
        order.push_back(3);
        queue->push(record(4));
    });
    for (int i = 0; i < 7; ++i) {
        scheduler->onTimer();
    }
    EXPECT_EQ((std::vector<int>{1, 2, 3, 1, 4, 1, 1}), order);
}

TEST_F(TaskSchedulerTest, TimerTickRunsAtMostOneDueTask) {
    auto queue = scheduler->createQueue("Q");
    queue->push(record(1), 1min);
    queue->push(record(2));
    queue->push(record(3));
    scheduler->onTimer();
    EXPECT_EQ((std::vector<int>{2}), order);
    scheduler->onTimer();
    scheduler->onTimer();
    EXPECT_EQ((std::vector<int>{2, 3}), order);
    EXPECT_EQ(1u, scheduler->taskCount());
}

// runOne and runTasks may keep to one queue; process runs due tasks of any
// queue and traces each pass.
TEST_F(TaskSchedulerTest, RunOneAndRunTasksMayKeepToOneQueueProcessTakesAny) {
    auto first = scheduler->createQueue("First");
    auto second = scheduler->createQueue("Second");
    first->push(record(1));
    second->push(record(2), 1min);
    second->push(record(3));
    scheduler->runOne(second->name(), false);
    EXPECT_EQ((std::vector<int>{3}), order);
    scheduler->runOne(second->name(), false);
    EXPECT_EQ((std::vector<int>{3}), order) << "ran a task that is not due";
    int passes = 0;
    scheduler->runTasks(
        second->name(), [&] { return passes++ < 3; }, true);
    EXPECT_EQ((std::vector<int>{3, 2}), order);
    EXPECT_TRUE(first->hasTasks());
    EXPECT_FALSE(second->hasTasks());

    second->push(record(4), 1min);
    second->push(record(5));
    const int done = lines->count(trace, "tasks done");
    passes = 0;
    scheduler->process([&] { return passes++ < 5; });
    EXPECT_EQ((std::vector<int>{3, 2, 1, 5}), order);
    EXPECT_EQ(1u, scheduler->taskCount());
    EXPECT_EQ(5, lines->count(trace, " task to run:"));
    EXPECT_EQ(done + 1, lines->count(trace, "tasks done"));
}

TEST_F(TaskSchedulerTest, RunTasksSleepsTheIntervalAfterEveryPassAndNeedsAPredicate) {
    auto slow = std::make_shared<ManualTaskScheduler>(lines, 20ms);
    auto queue = slow->createQueue("Q");
    queue->push(record(1));
    int passes = 0;
    const auto start = Clock::now();
    slow->runTasks(
        queue->name(), [&] { return passes++ < 3; }, false);
    EXPECT_GE(Clock::now() - start, 60ms);
    EXPECT_EQ((std::vector<int>{1}), order);
    EXPECT_EQ(3, lines->count(trace, queue->name() + " task to run:"));
    EXPECT_THROW(slow->runTasks("", std::function<bool()>(), false), std::bad_function_call);
}

TEST_F(TaskSchedulerTest, FinishRunsAllPendingTasksOfTheQueueThenTheCallbackBeforeReturning) {
    auto queue = scheduler->createQueue("Done");
    auto other = scheduler->createQueue("Other");
    const std::string name = queue->name();
    queue->push(record(1));
    other->push(record(9));
    queue->push(record(2), 1min);
    queue->push(record(3), 5);
    queue->finish([this](bool&, unsigned long) { order.push_back(0); });
    EXPECT_EQ((std::vector<int>{3, 1, 2, 0}), order);
    EXPECT_EQ(1u, scheduler->taskCount()) << "the other queue's task is left";
    EXPECT_EQ(ITaskQueue::kInvalidTaskId, queue->push(record(4)));
    EXPECT_FALSE(queue->hasTasks());
    EXPECT_EQ(1, lines->count(debug, "Finish called on messagequeue: " + name));
    EXPECT_EQ(1, lines->count(debug, "Finished messagequeue: " + name));
    EXPECT_EQ(0, lines->count(debug, "Drop all tasks on messagequeue: " + name));
    queue.reset();  // the handle of a finished queue runs nothing more
    EXPECT_EQ((std::vector<int>{3, 1, 2, 0}), order);
    EXPECT_EQ(0, scheduler->stops) << "a queue is still registered";
    other->finish();
    EXPECT_EQ(1, scheduler->stops) << "the last queue went";
}

// Finishing keeps to one task a tick, but once the final task has run nothing is left to wait
// for: the call returns at once.
TEST_F(TaskSchedulerTest, FinishWaitsATickBetweenTasksButNotAfterTheLast) {
    constexpr auto kTick = 200ms;
    auto slow = std::make_shared<ManualTaskScheduler>(lines, kTick);
    auto queue = slow->createQueue("Q");
    std::vector<Clock::time_point> runs;
    const auto stamp = [&](bool&, unsigned long) { runs.push_back(Clock::now()); };
    queue->push(stamp);
    queue->push(stamp);
    queue->finish(stamp);
    const auto returned = Clock::now();
    ASSERT_EQ(3u, runs.size());
    EXPECT_GE(runs[1] - runs[0], kTick);
    EXPECT_GE(runs[2] - runs[1], kTick);
    EXPECT_LT(returned - runs[2], kTick / 2) << "a tick was waited for after the final task";
}

TEST_F(TaskSchedulerTest, FinishWithDropPendingRunsOnlyTheCallback) {
    auto queue = scheduler->createQueue("Dropped");
    auto other = scheduler->createQueue("Other");
    queue->push(record(1));
    other->push(record(8));
    queue->push(record(2), 1min);
    other->push(record(9));
    queue->finish([this](bool&, unsigned long) { order.push_back(0); }, true);
    EXPECT_EQ((std::vector<int>{0}), order);
    EXPECT_EQ(1, lines->count(debug, "Drop all tasks on messagequeue: " + queue->name()));
    runAll();
    EXPECT_EQ((std::vector<int>{0, 8, 9}), order);
}

TEST_F(TaskSchedulerTest, WhileFinishingTheQueueRefusesPushesAndRescheduling) {
    auto queue = scheduler->createQueue("Closing");
    auto other = scheduler->createQueue("Other");
    std::size_t ownPush = 0, otherPush = ITaskQueue::kInvalidTaskId;
    int runs = 0;
    queue->push([&](bool& again, unsigned long) {
        ++runs;
        ownPush = queue->push(record(1));
        otherPush = other->push(record(2));
        again = true;
    });
    queue->finish();
    EXPECT_EQ(1, runs);
    EXPECT_EQ(ITaskQueue::kInvalidTaskId, ownPush);
    EXPECT_NE(ITaskQueue::kInvalidTaskId, otherPush);
    EXPECT_EQ(1, lines->count(warn, "Taskqueue is in releasing state, task wont be rescheduled: '" +
                                        queue->name() + "'"));
    EXPECT_TRUE(other->hasTasks());
    EXPECT_FALSE(queue->hasTasks());
}

TEST_F(TaskSchedulerTest, FinishingAFinishedOrUnknownQueueOnlyLogsAndStopsAgain) {
    auto queue = scheduler->createQueue("Only");
    const std::string name = queue->name();
    queue->finish();
    EXPECT_EQ(1, scheduler->stops);
    bool called = false;
    queue->finish([&](bool&, unsigned long) { called = true; });
    scheduler->finish(
        "never made", [&](bool&, unsigned long) { called = true; }, false);
    EXPECT_FALSE(called);
    EXPECT_EQ(3, scheduler->stops);
    EXPECT_EQ(2, lines->count(debug, "Finish called on messagequeue: " + name));
    EXPECT_EQ(2, lines->count(debug, "Finished messagequeue: " + name));
    EXPECT_EQ(1, lines->count(debug, "Finished messagequeue: never made"));
    EXPECT_EQ(0u, scheduler->taskCount());
    queue.reset();
    EXPECT_EQ(4, scheduler->stops);
}

TEST_F(TaskSchedulerTest, FinalTaskMayDestroyTheQueueHandle) {
    auto keep = scheduler->createQueue("Keep");
    auto queue = scheduler->createQueue("Installer");
    const std::string name = queue->name();
    queue->push(record(1));
    queue->finish([&](bool&, unsigned long) {
        order.push_back(0);
        queue.reset();
    });
    EXPECT_FALSE(queue);
    EXPECT_EQ((std::vector<int>{1, 0}), order);
    // The handle's own finish nests inside; both end with the right name.
    EXPECT_EQ(2, lines->count(debug, "Finished messagequeue: " + name));
    EXPECT_EQ(0, scheduler->stops);
}

TEST_F(TaskSchedulerTest, TaskThatFinishesItsOwnQueueIsNotRescheduled) {
    auto keep = scheduler->createQueue("Keep");
    auto queue = scheduler->createQueue("Self");
    queue->push([&](bool& again, unsigned long) {
        order.push_back(1);
        queue->finish();
        again = true;
    });
    queue->push(record(2), 1min);
    scheduler->runOne("", false);
    EXPECT_EQ((std::vector<int>{1, 2}), order);
    EXPECT_EQ(1, lines->count(warn, "Task won't be re-scheduled, target queue not found: '" +
                                        queue->name() + "'"));
    EXPECT_EQ(0u, scheduler->taskCount());
}

TEST_F(TaskSchedulerTest, EmptyNameMatchesNoQueueInHasTasksButAllInDropAllTasks) {
    auto first = scheduler->createQueue("First");
    auto second = scheduler->createQueue("Second");
    first->push(record(1));
    second->push(record(2), 1min);
    EXPECT_FALSE(scheduler->hasTasks(""));
    EXPECT_TRUE(scheduler->hasTasks(first->name()));
    scheduler->dropAllTasks("");
    EXPECT_EQ(0u, scheduler->taskCount());
    EXPECT_EQ(1, lines->count(debug, "Drop all tasks on messagequeue: "));
    first.reset();
    second.reset();
    EXPECT_TRUE(order.empty());
}

TEST_F(TaskSchedulerTest, QueueNamesCarryTenRandomCharactersAndNeedASharedScheduler) {
    auto first = scheduler->createQueue("Worker");
    auto second = scheduler->createQueue("Worker");
    const std::regex wellFormed(R"(Worker \([A-Za-z0-9]{10}\))");
    EXPECT_TRUE(std::regex_match(first->name(), wellFormed)) << first->name();
    EXPECT_TRUE(std::regex_match(second->name(), wellFormed)) << second->name();
    EXPECT_NE(first->name(), second->name());
    ManualTaskScheduler unshared(lines);
    EXPECT_THROW(unshared.createQueue("Worker"), std::bad_weak_ptr);
}

TEST_F(TaskSchedulerTest, PushesFromOtherThreadsWhileTasksRun) {
    constexpr int kThreads = 4;
    constexpr int kPushes = 300;
    std::vector<std::unique_ptr<ITaskQueue>> queues;
    for (int t = 0; t < kThreads; ++t) {
        queues.push_back(scheduler->createQueue("Thread"));
    }
    std::mutex mutex;
    std::multiset<unsigned long> ran;
    std::vector<std::thread> pushers;
    for (int t = 0; t < kThreads; ++t) {
        pushers.emplace_back([&, t] {
            for (int i = 0; i < kPushes; ++i) {
                queues[t]->push(
                    [&](bool&, unsigned long id) {
                        std::lock_guard<std::mutex> lock(mutex);
                        ran.insert(id);
                    },
                    i % 3);
            }
        });
    }
    const auto start = Clock::now();
    for (;;) {
        scheduler->runOne("", false);
        std::lock_guard<std::mutex> lock(mutex);
        if (ran.size() == kThreads * kPushes || Clock::now() - start > 30s) {
            break;
        }
    }
    for (auto& pusher : pushers) {
        pusher.join();
    }
    ASSERT_EQ(static_cast<std::size_t>(kThreads * kPushes), ran.size());
    EXPECT_EQ(0u, scheduler->taskCount());
    const std::set<unsigned long> unique(ran.begin(), ran.end());
    EXPECT_EQ(ran.size(), unique.size()) << "a task ran twice or two tasks shared an id";
    EXPECT_EQ(static_cast<unsigned long>(kThreads * kPushes - 1), *unique.rbegin());
}

TEST_F(TaskSchedulerTest, DestroyingTheSchedulerReleasesPendingTasksWithoutRunningThem) {
    auto queue = scheduler->createQueue("Outliving");
    auto sentinel = std::make_shared<int>(0);
    std::shared_ptr<ITaskQueue> captured = scheduler->createQueue("Captured");
    queue->push([sentinel, this](bool&, unsigned long) { order.push_back(1); }, 1min);
    queue->push([captured, this](bool&, unsigned long) { order.push_back(2); });
    captured.reset();
    scheduler.reset();
    EXPECT_TRUE(lines->isLoggerDestroyed());
    EXPECT_EQ(1, sentinel.use_count()) << "a pending task was kept";
    EXPECT_TRUE(order.empty());
    // The handle that outlives it does nothing.
    EXPECT_EQ(ITaskQueue::kInvalidTaskId, queue->push(record(3)));
    EXPECT_EQ(ITaskQueue::kInvalidTaskId, queue->push(record(4), 10ms, 1));
    EXPECT_FALSE(queue->hasTasks());
    queue->runTasks([&] { return order.push_back(-1), false; }, true);
    queue->finish(record(5));
    queue.reset();
    EXPECT_TRUE(order.empty());
}

TEST_F(TaskSchedulerTest, QueueHandleForwardsEveryCallWithItsOwnName) {
    auto queue = scheduler->createQueue("Worker");
    auto other = scheduler->createQueue("Other");
    EXPECT_FALSE(queue->hasTasks());
    queue->push(record(1), 1min, 3);
    other->push(record(9));
    queue->push(record(2), 4);
    EXPECT_TRUE(queue->hasTasks());
    EXPECT_TRUE(scheduler->hasTasks(queue->name()));
    int passes = 0;
    queue->runTasks([&] { return passes++ < 1; }, false);
    EXPECT_EQ((std::vector<int>{2}), order) << "the priority-only push has no delay";
    queue->runTasks([&] { return queue->hasTasks(); }, true);
    EXPECT_EQ((std::vector<int>{2, 1}), order);
    EXPECT_FALSE(queue->hasTasks());
    EXPECT_TRUE(other->hasTasks());
}

TEST_F(TaskSchedulerTest, DestroyingAQueueHandleRunsItsPendingTasksAtOnce) {
    auto queue = scheduler->createQueue("Worker");
    queue->push(record(1));
    queue->push(record(2), 1min);
    queue->push(record(3));
    queue.reset();
    EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
    EXPECT_EQ(0u, scheduler->taskCount());
    EXPECT_EQ(1, scheduler->stops) << "it was the last queue";
}

// The assertion handler and the queue's own channel write through the process's
// logging, which is set up once per process: the scenario runs in a child.
TEST(TaskQueueLoggingTest, DebugAssertReportsEveryLaterPushAndTheTaskIsStillQueued) {
    const auto run = testsupport::runLogged([] {
        auto scheduler =
            std::make_shared<ManualTaskScheduler>(std::make_shared<RecordingLogger::Lines>());
        auto queue = scheduler->createQueue("Worker");
        queue->push([](bool&, unsigned long) {});
        queue->setDebugAssertOnNextPush();
        queue->push([](bool&, unsigned long) {});
        queue->push([](bool&, unsigned long) {}, 5ms, 1);
        const bool queued = scheduler->taskCount() == 3;
        queue.reset();
        return queued ? 0 : 2;
    });
    ASSERT_TRUE(run.result.exited);
    ASSERT_EQ(0, run.result.exitCode) << "a push after the assertion was not queued";
    EXPECT_EQ(2, run.countPart("error", "assert",
                               "Assertion failed:(!_debugAssertOnNextPush) with message: "
                               "\"unexpected task push\" in function "))
        << run.text();
    // The queue's own channel traces its life, naming the queue in full.
    for (const std::string what : {"create", "destroy"}) {
        const std::string prefix = ";trace;;TaskQueue;;;" + what + " task queue: 'Worker (";
        const std::string text = run.text();
        const auto at = text.find(prefix);
        ASSERT_NE(std::string::npos, at) << what << "\n" << text;
        EXPECT_EQ(")'\n", text.substr(at + prefix.size() + 10, 3)) << text;
    }
}

}  // namespace
