#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "common/taskscheduler/ITaskQueue.h"

namespace interprocess {

// What the Qt thread reports to the local-socket controller, each report
// under the socket it is about. One task of the controller's queue at a time
// drains the reports, at most kBatch a task, taking them one socket after
// the other in turn: each socket's reports keep their order, and a socket
// with a storm of them delays another's by a task or two at most. Once
// closed, nothing more is taken and what waits is dropped.
class ControllerMailbox : public std::enable_shared_from_this<ControllerMailbox> {
public:
    static constexpr std::size_t kBatch = 256;

    explicit ControllerMailbox(common::ITaskQueue& queue) : queue_(&queue) {}

    // Any thread: queues `work` about socket `socket`; false once closed.
    bool post(unsigned int socket, std::function<void()> work);
    // Waits for a post under way, then takes no more.
    void close();

private:
    void pushDrain(common::ITaskQueue& queue);
    // Runs a batch of what waits; another task takes the rest.
    void drain();

    std::mutex mutex_;
    common::ITaskQueue* queue_;
    std::map<unsigned int, std::deque<std::function<void()>>> inboxes_;
    // The sockets with reports waiting, in the order of their turns.
    std::deque<unsigned int> turns_;
    bool draining_ = false;
};

}  // namespace interprocess
