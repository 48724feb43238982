#include "common/taskscheduler/TaskQueue.h"

#include <boost/assert.hpp>

namespace common {

TaskQueue::TaskQueue(const std::string& name, std::shared_ptr<ITaskSchedulerController> scheduler,
                     std::unique_ptr<ILogger> logger)
    : _scheduler(scheduler), _name(name), _logger(std::move(logger)) {
    _logger->trace("create task queue: '%s'", _name.c_str());
}

TaskQueue::~TaskQueue() {
    _logger->trace("destroy task queue: '%s'", _name.c_str());
    finish([](bool&, unsigned long) {}, false);
}

std::string TaskQueue::name() const {
    return _name;
}

std::size_t TaskQueue::push(const Task task, const std::chrono::milliseconds& delay,
                            const TaskPriority priority) {
    if (_debugAssertOnNextPush) {
        BOOST_ASSERT_MSG(!_debugAssertOnNextPush, "unexpected task push");
    }
    const auto scheduler = _scheduler.lock();
    if (!scheduler) {
        return kInvalidTaskId;
    }
    return scheduler->push(_name, task, delay, priority);
}

std::size_t TaskQueue::push(const Task task, const TaskPriority priority) {
    return push(task, std::chrono::milliseconds::zero(), priority);
}

void TaskQueue::runTasks(std::function<bool()> keepGoing, bool force) {
    if (const auto scheduler = _scheduler.lock()) {
        scheduler->runTasks(_name, std::move(keepGoing), force);
    }
}

void TaskQueue::finish(Task callback, bool dropPending) {
    // The final task may destroy this handle: nothing of it is used once the
    // scheduler's finish has been entered.
    if (const auto scheduler = _scheduler.lock()) {
        scheduler->finish(_name, std::move(callback), dropPending);
    }
}

bool TaskQueue::hasTasks() {
    const auto scheduler = _scheduler.lock();
    return scheduler && scheduler->hasTasks(_name);
}

void TaskQueue::setDebugAssertOnNextPush() {
    _debugAssertOnNextPush = true;
}

}  // namespace common
