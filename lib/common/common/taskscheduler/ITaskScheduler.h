#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "common/taskscheduler/ITaskQueue.h"

namespace common {

// Makes named queues and drives their tasks from the main loop.
class ITaskScheduler {
public:
    virtual ~ITaskScheduler() = default;

    virtual std::unique_ptr<ITaskQueue> createQueue(const std::string& name) = 0;

    // Runs the main loop on the calling thread until the scheduler stops;
    // 1 when it is already running, else 0.
    virtual int run() = 0;
    virtual void stop() = 0;

    // Runs due tasks of any queue while `keepGoing` holds.
    virtual void process(std::function<bool()> keepGoing) = 0;

    // Runs at most one task of the named queue (any queue when empty): the
    // first due one, or the first one at all with `force`.
    virtual void runOne(const std::string& queueName, bool force) = 0;

    virtual std::size_t taskCount() = 0;
};

}  // namespace common
