#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "common/logging/ILogger.h"
#include "common/taskscheduler/ITaskQueue.h"
#include "common/taskscheduler/ITaskScheduler.h"
#include "common/taskscheduler/ITaskSchedulerController.h"

namespace common {

// The portable core of the cooperative scheduler: one list of pending tasks
// for all queues, kept in run order (higher priority first, first in first
// out among equals), run one at a time on the thread that drives the
// scheduler. Queues are known only by their full names; the queue objects
// belong to whoever created them. The platform variant supplies run and stop
// and calls onTimer once per tick. Must be owned by a std::shared_ptr.
class TaskScheduler : public ITaskScheduler,
                      public ITaskSchedulerController,
                      public std::enable_shared_from_this<TaskScheduler> {
public:
    struct ScheduledTask {
        ITaskQueue::Task task;
        std::chrono::steady_clock::time_point due;
        // The delay given at push; a rescheduled task is due this long after
        // its run.
        std::chrono::milliseconds interval;
        std::string queueName;
        unsigned long id;
        ITaskQueue::TaskPriority priority;
    };

    // `interval` is slept after every task in runTasks, and in finish
    // between its tasks.
    TaskScheduler(std::unique_ptr<ILogger> logger, const std::chrono::milliseconds& interval);
    ~TaskScheduler() override;
    TaskScheduler(const TaskScheduler&) = delete;
    TaskScheduler& operator=(const TaskScheduler&) = delete;

    // Throws std::bad_weak_ptr when the scheduler is not owned by a
    // std::shared_ptr.
    std::unique_ptr<ITaskQueue> createQueue(const std::string& name) override;
    int run() override = 0;
    void stop() override = 0;
    void process(std::function<bool()> keepGoing) override;
    void runOne(const std::string& queueName, bool force) override;
    std::size_t taskCount() override;

    std::size_t push(const std::string& queueName, ITaskQueue::Task task,
                     const std::chrono::milliseconds& delay,
                     ITaskQueue::TaskPriority priority) override;
    void runTasks(const std::string& queueName, std::function<bool()> keepGoing,
                  bool force) override;
    void finish(const std::string& queueName, ITaskQueue::Task callback, bool dropPending) override;
    bool hasTasks(const std::string& queueName) override;

    // Removes every pending task of the queue; an empty name removes all.
    void dropAllTasks(const std::string& queueName);

    // One tick of the main loop: runs at most one due task of any queue.
    void onTimer();

protected:
    // True while run is inside the main loop.
    std::atomic<bool> _running{false};

private:
    using TaskList = std::list<ScheduledTask>;

    // Lock held. Logs the drop and moves the queue's records (all when the
    // name is empty) out of the list, so that the caller destroys them after
    // releasing the lock.
    TaskList removeTasksOf(const std::string& queueName);
    // Lock held. Puts the record in `from` back into the list after a run.
    void reinsert(TaskList& from);

    std::unique_ptr<ILogger> _logger;
    std::recursive_mutex _mutex;
    TaskList _tasks;
    std::set<std::string> _queueNames;
    unsigned long _nextTaskId = 0;
    const std::chrono::milliseconds _interval;
    std::set<std::string> _releasingQueues;
};

}  // namespace common
