#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "common/taskscheduler/ITaskQueue.h"

namespace interprocess {

// What the Qt thread reports to the local-socket controller: every report
// goes through one list, drained in order by one task of the controller's
// queue at a time, at most kBatch reports a task, so that a storm of
// connections costs the queue a few ticks, not one tick per event. Once
// closed, nothing more is taken and what waits is dropped.
class ControllerMailbox : public std::enable_shared_from_this<ControllerMailbox> {
public:
    static constexpr std::size_t kBatch = 256;

    explicit ControllerMailbox(common::ITaskQueue& queue) : queue_(&queue) {}

    // Any thread: queues `work`; false once closed.
    bool post(std::function<void()> work);
    // Waits for a post under way, then takes no more.
    void close();

private:
    void pushDrain(common::ITaskQueue& queue);
    // Runs a batch of what waits; another task takes the rest.
    void drain();

    std::mutex mutex_;
    common::ITaskQueue* queue_;
    std::deque<std::function<void()>> inbox_;
    bool draining_ = false;
};

}  // namespace interprocess
