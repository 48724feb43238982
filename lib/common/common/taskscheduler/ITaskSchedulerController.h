#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "common/taskscheduler/ITaskQueue.h"

namespace common {

// The side of the scheduler that queues talk to; every call names the queue.
class ITaskSchedulerController {
public:
    virtual ~ITaskSchedulerController() = default;

    virtual std::size_t push(const std::string& queueName, ITaskQueue::Task task,
                             const std::chrono::milliseconds& delay,
                             ITaskQueue::TaskPriority priority) = 0;
    virtual void runTasks(const std::string& queueName, std::function<bool()> keepGoing,
                          bool force) = 0;
    virtual void finish(const std::string& queueName, ITaskQueue::Task callback,
                        bool dropPending) = 0;
    virtual bool hasTasks(const std::string& queueName) = 0;
};

}  // namespace common
