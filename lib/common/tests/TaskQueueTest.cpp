#include <gtest/gtest.h>

#include <vector>

#include "ManualTaskScheduler.h"
#include "RecordingLogger.h"
#include "common/logging/Logger.h"
#include "common/taskscheduler/TaskQueue.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using common::ITaskQueue;
using testsupport::ManualTaskScheduler;
using testsupport::RecordingLogger;

namespace {

using namespace std::chrono_literals;

class TaskQueueTest : public ::testing::Test {
protected:
    ITaskQueue::Task record(int tag) {
        return [this, tag](bool&, unsigned long) { order.push_back(tag); };
    }

    std::shared_ptr<RecordingLogger::Lines> lines = std::make_shared<RecordingLogger::Lines>();
    std::shared_ptr<ManualTaskScheduler> scheduler = std::make_shared<ManualTaskScheduler>(lines);
    std::vector<int> order;
};

TEST_F(TaskQueueTest, ForwardsEveryCallWithItsOwnName) {
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

TEST_F(TaskQueueTest, DestroyingTheHandleRunsItsPendingTasksAtOnce) {
    auto queue = scheduler->createQueue("Worker");
    queue->push(record(1));
    queue->push(record(2), 1min);
    queue->push(record(3));
    queue.reset();
    EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
    EXPECT_EQ(0u, scheduler->taskCount());
    EXPECT_EQ(1, scheduler->stops) << "it was the last queue";
}

TEST_F(TaskQueueTest, HandleThatOutlivesTheSchedulerDoesNothing) {
    auto queue = scheduler->createQueue("Worker");
    queue->push(record(1));
    scheduler.reset();
    EXPECT_EQ(ITaskQueue::kInvalidTaskId, queue->push(record(2)));
    EXPECT_EQ(ITaskQueue::kInvalidTaskId, queue->push(record(3), 10ms, 1));
    EXPECT_FALSE(queue->hasTasks());
    bool asked = false;
    queue->runTasks(
        [&] {
            asked = true;
            return false;
        },
        true);
    EXPECT_FALSE(asked);
    queue->finish(record(4));
    queue.reset();
    EXPECT_TRUE(order.empty());
}

TEST_F(TaskQueueTest, HandleOfAFinishedQueueRunsNothingMoreWhenDestroyed) {
    auto keep = scheduler->createQueue("Keep");
    auto queue = scheduler->createQueue("Worker");
    queue->push(record(1));
    queue->finish(record(0));
    EXPECT_EQ((std::vector<int>{1, 0}), order);
    EXPECT_EQ(ITaskQueue::kInvalidTaskId, queue->push(record(2)));
    queue.reset();
    EXPECT_EQ((std::vector<int>{1, 0}), order);
    EXPECT_EQ(0u, scheduler->taskCount());
}

// The assertion handler and the queue's own channel write through the process's
// logging, which is set up once per process: the scenario runs in a child.
TEST(TaskQueueLoggingTest, DebugAssertReportsEveryLaterPushAndTheTaskIsStillQueued) {
    testsupport::TempDir folder;
    const auto result = testsupport::runInChild([&] {
        testsupport::forgetEarlyRecords();
        common::Logger::setLogFolder(folder.path());
        common::Logger::init("Test", "/bin/queues", helper::ApplicationType::ComponentTest,
                             {common::logsink::rotatingFile, common::logsink::rotatingCsv});
        auto lines = std::make_shared<RecordingLogger::Lines>();
        auto scheduler = std::make_shared<ManualTaskScheduler>(lines);
        auto queue = scheduler->createQueue("Worker");
        queue->push([](bool&, unsigned long) {});
        queue->setDebugAssertOnNextPush();
        queue->push([](bool&, unsigned long) {});
        queue->push([](bool&, unsigned long) {}, 5ms, 1);
        const bool queued = scheduler->taskCount() == 3;
        queue.reset();
        return queued ? 0 : 2;
    });
    ASSERT_TRUE(result.exited);
    ASSERT_EQ(0, result.exitCode) << "a push after the assertion was not queued";
    const auto text = testsupport::readFile(folder.file("queues.log"));
    int reports = 0;
    for (const auto& line : testsupport::splitLines(text)) {
        reports += line.find(
                       "Assertion failed:(!_debugAssertOnNextPush) with message: "
                       "\"unexpected task push\" in function ") != std::string::npos;
    }
    EXPECT_EQ(2, reports) << text;

    // The queue's own channel traces its life, naming the queue in full.
    const auto csv = testsupport::readFile(folder.file("queues.csv"));
    for (const std::string what : {"create", "destroy"}) {
        const std::string prefix = ";trace;;TaskQueue;;;" + what + " task queue: 'Worker (";
        const auto at = csv.find(prefix);
        ASSERT_NE(std::string::npos, at) << what << "\n" << csv;
        EXPECT_EQ(")'\n", csv.substr(at + prefix.size() + 10, 3)) << csv;
    }
}

}  // namespace
