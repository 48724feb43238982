#include "common/taskscheduler/TaskScheduler.h"

#include <algorithm>
#include <thread>

#include "common/taskscheduler/TaskQueue.h"
#include "common/utils/RandomString.h"

namespace common {

namespace {

using Clock = std::chrono::steady_clock;

// Random characters in a full queue name.
constexpr std::size_t kQueueNameSuffixLength = 10;

}  // namespace

TaskScheduler::TaskScheduler(std::unique_ptr<ILogger> logger,
                             const std::chrono::milliseconds& interval)
    : _logger(std::move(logger)), _interval(interval) {}

TaskScheduler::~TaskScheduler() {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    _queueNames.clear();
    // The pending tasks go with the list, without running.
}

std::unique_ptr<ITaskQueue> TaskScheduler::createQueue(const std::string& name) {
    std::shared_ptr<ITaskSchedulerController> controller = shared_from_this();
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    const std::string fullName =
        name + " (" + randomString(kQueueNameSuffixLength, kAlphanumericAlphabet) + ")";
    _queueNames.insert(fullName);
    return std::make_unique<TaskQueue>(fullName, std::move(controller), createLogger("TaskQueue"));
}

void TaskScheduler::process(std::function<bool()> keepGoing) {
    runTasks(std::string(), std::move(keepGoing), false);
}

void TaskScheduler::onTimer() {
    runOne(std::string(), false);
}

std::size_t TaskScheduler::taskCount() {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    return _tasks.size();
}

std::size_t TaskScheduler::push(const std::string& queueName, ITaskQueue::Task task,
                                const std::chrono::milliseconds& delay,
                                ITaskQueue::TaskPriority priority) {
    TaskList record;
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    if (_queueNames.count(queueName) == 0 || _releasingQueues.count(queueName) != 0) {
        return ITaskQueue::kInvalidTaskId;
    }
    const unsigned long id = _nextTaskId++;
    record.push_back({std::move(task), Clock::now() + delay, delay, queueName, id, priority});
    auto position = _tasks.end();
    if (priority != 0) {
        position = std::find_if(_tasks.begin(), _tasks.end(), [priority](const ScheduledTask& t) {
            return t.priority < priority;
        });
    }
    _tasks.splice(position, record);
    return id;
}

void TaskScheduler::runOne(const std::string& queueName, bool force) {
    const auto now = Clock::now();
    // Declared before the lock: the record is destroyed with the lock released.
    TaskList taken;
    std::unique_lock<std::recursive_mutex> lock(_mutex);
    const auto selected =
        std::find_if(_tasks.begin(), _tasks.end(), [&](const ScheduledTask& candidate) {
            return (force || now - candidate.due > -std::chrono::milliseconds(1)) &&
                   (queueName.empty() || candidate.queueName == queueName);
        });
    if (selected == _tasks.end()) {
        return;
    }
    taken.splice(taken.begin(), _tasks, selected);
    ScheduledTask& record = taken.front();
    if (_queueNames.count(record.queueName) == 0) {
        _logger->warn("Task '%lu' will be dropped, target queue not found: '%s'", record.id,
                      record.queueName.c_str());
        return;
    }
    lock.unlock();

    bool reschedule = false;
    record.task(reschedule, record.id);
    if (!reschedule) {
        return;
    }

    lock.lock();
    if (_releasingQueues.count(record.queueName) != 0) {
        _logger->warn("Taskqueue is in releasing state, task wont be rescheduled: '%s'",
                      record.queueName.c_str());
        return;
    }
    if (_queueNames.count(record.queueName) == 0) {
        _logger->warn("Task won't be re-scheduled, target queue not found: '%s'",
                      record.queueName.c_str());
        return;
    }
    record.due = Clock::now() + record.interval;
    reinsert(taken);
}

void TaskScheduler::reinsert(TaskList& from) {
    const ITaskQueue::TaskPriority priority = from.front().priority;
    auto position = _tasks.end();
    if (priority != 0) {
        position = std::find_if(_tasks.begin(), _tasks.end(), [priority](const ScheduledTask& t) {
            return t.priority < priority;
        });
        if (position != _tasks.end()) {
            ++position;
        }
    }
    _tasks.splice(position, from, from.begin());
}

void TaskScheduler::runTasks(const std::string& queueName, std::function<bool()> keepGoing,
                             bool force) {
    while (keepGoing()) {
        _logger->trace("%s task to run:", queueName.c_str());
        runOne(queueName, force);
        if (_interval > std::chrono::milliseconds::zero()) {
            std::this_thread::sleep_for(_interval);
        }
    }
    _logger->trace("tasks done");
}

void TaskScheduler::finish(const std::string& queueName, ITaskQueue::Task callback,
                           bool dropPending) {
    // `queueName` may belong to the queue object, and the final task may
    // destroy that object: everything below works on a copy.
    const std::string name = queueName;
    _logger->debug("Finish called on messagequeue: %s", name.c_str());
    TaskList dropped;
    {
        std::lock_guard<std::recursive_mutex> lock(_mutex);
        if (dropPending) {
            dropped = removeTasksOf(name);
        }
        push(name, std::move(callback), std::chrono::milliseconds::zero(), 0);
        _releasingQueues.insert(name);
    }
    dropped.clear();

    // One task a tick, as ever; the final task ends the queue, so no tick is
    // waited for after it.
    const auto moreThanTheLast = [this, &name] {
        std::lock_guard<std::recursive_mutex> lock(_mutex);
        return std::count_if(_tasks.begin(), _tasks.end(), [&name](const ScheduledTask& t) {
                   return t.queueName == name;
               }) > 1;
    };
    runTasks(name, moreThanTheLast, true);
    if (hasTasks(name)) {
        _logger->trace("%s task to run:", name.c_str());
        runOne(name, true);
    }

    {
        std::lock_guard<std::recursive_mutex> lock(_mutex);
        _queueNames.erase(name);
        _releasingQueues.erase(name);
        if (_queueNames.empty()) {
            stop();
        }
    }
    _logger->debug("Finished messagequeue: %s", name.c_str());
}

bool TaskScheduler::hasTasks(const std::string& queueName) {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    return std::any_of(_tasks.begin(), _tasks.end(),
                       [&queueName](const ScheduledTask& t) { return t.queueName == queueName; });
}

void TaskScheduler::dropAllTasks(const std::string& queueName) {
    TaskList dropped;
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    dropped = removeTasksOf(queueName);
}

TaskScheduler::TaskList TaskScheduler::removeTasksOf(const std::string& queueName) {
    _logger->debug("Drop all tasks on messagequeue: %s", queueName.c_str());
    TaskList removed;
    if (queueName.empty()) {
        removed.splice(removed.end(), _tasks);
        return removed;
    }
    for (auto it = _tasks.begin(); it != _tasks.end();) {
        const auto next = std::next(it);
        if (it->queueName == queueName) {
            removed.splice(removed.end(), _tasks, it);
        }
        it = next;
    }
    return removed;
}

}  // namespace common
