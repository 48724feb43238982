#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace common {

// A named queue of tasks, owned by the component that created it through
// ITaskScheduler::createQueue. All tasks of all queues of one scheduler run one
// at a time on the scheduler's thread.
class ITaskQueue {
public:
    // A task gets a reschedule flag, preset to false (set it to run again one
    // interval later), and its id.
    using Task = std::function<void(bool& reschedule, unsigned long id)>;
    // 0 is ordinary; a larger number runs earlier.
    using TaskPriority = std::int32_t;

    // What push returns when nothing was queued.
    static constexpr std::size_t kInvalidTaskId = static_cast<std::size_t>(-1);

    virtual ~ITaskQueue() = default;

    // The full name: the given name, a blank and ten random characters in
    // parentheses.
    virtual std::string name() const = 0;

    // Queues `task` to become due after `delay`. Returns the task id, or
    // kInvalidTaskId when the scheduler is gone or the queue is finished or
    // being finished.
    virtual std::size_t push(const Task task, const std::chrono::milliseconds& delay,
                             const TaskPriority priority = 0) = 0;
    virtual std::size_t push(const Task task, const TaskPriority priority = 0) = 0;

    // Runs this queue's tasks on the calling thread while `keepGoing` holds.
    virtual void runTasks(std::function<bool()> keepGoing, bool force) = 0;

    // Optionally drops the pending tasks, runs the remaining ones and then
    // `callback` on the calling thread, and unregisters the queue.
    virtual void finish(Task callback = [](bool&, unsigned long) {}, bool dropPending = false) = 0;

    virtual bool hasTasks() = 0;

    // From now on every push reports an assertion first (a debugging aid).
    virtual void setDebugAssertOnNextPush() = 0;
};

}  // namespace common
