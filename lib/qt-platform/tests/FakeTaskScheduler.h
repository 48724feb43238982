#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/taskscheduler/ITaskScheduler.h"

// A scheduler for tests: queues keep their tasks in one list, first in first
// out (delays and priorities are ignored), and the test runs them on its own
// thread. Tasks may be pushed from any thread.
class FakeTaskScheduler : public common::ITaskScheduler {
public:
    std::unique_ptr<common::ITaskQueue> createQueue(const std::string& name) override;
    int run() override { return 0; }
    void stop() override {}
    void process(std::function<bool()> keepGoing) override;
    void runOne(const std::string& queueName, bool force) override;
    std::size_t taskCount() override;

    // Runs tasks as they come until `condition` holds; false when it still
    // does not after `timeout`.
    bool runUntil(const std::function<bool()>& condition,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Runs the tasks queued now (not those they queue).
    void runPending();

    // Names of the queues that are made and not finished.
    std::vector<std::string> liveQueues();

    // Internal, for the queues.
    std::size_t push(const std::string& queue, common::ITaskQueue::Task task);
    void finishQueue(const std::string& queue, const common::ITaskQueue::Task& callback,
                     bool dropPending);
    bool hasTasks(const std::string& queue);

private:
    struct Entry {
        std::string queue;
        common::ITaskQueue::Task task;
        unsigned long id = 0;
    };

    bool runFirst(const std::string& queue);

    std::mutex mutex_;
    std::deque<Entry> tasks_;
    std::map<std::string, int> live_;
    unsigned long nextId_ = 1;
};
