#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "common/logging/ILogger.h"
#include "common/taskscheduler/ITaskQueue.h"
#include "common/taskscheduler/ITaskSchedulerController.h"

namespace common {

// The handle of one named queue: forwards every call, with the queue's full
// name, to the scheduler, which it holds only weakly. Once the scheduler is
// gone the handle does nothing (push answers kInvalidTaskId). Destroying the
// handle finishes the queue, so its pending tasks run first.
class TaskQueue : public ITaskQueue {
public:
    // Made by TaskScheduler::createQueue.
    TaskQueue(const std::string& name, std::shared_ptr<ITaskSchedulerController> scheduler,
              std::unique_ptr<ILogger> logger);
    ~TaskQueue() override;
    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;

    std::string name() const override;
    std::size_t push(const Task task, const std::chrono::milliseconds& delay,
                     const TaskPriority priority = 0) override;
    std::size_t push(const Task task, const TaskPriority priority = 0) override;
    void runTasks(std::function<bool()> keepGoing, bool force) override;
    void finish(
        Task callback = [](bool&, unsigned long) {}, bool dropPending = false) override;
    bool hasTasks() override;
    void setDebugAssertOnNextPush() override;

private:
    std::atomic<bool> _debugAssertOnNextPush{false};
    std::weak_ptr<ITaskSchedulerController> _scheduler;
    const std::string _name;
    std::unique_ptr<ILogger> _logger;
};

}  // namespace common
