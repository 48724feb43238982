#include "interprocess/controller/ControllerMailbox.h"

#include <vector>

namespace interprocess {

bool ControllerMailbox::post(unsigned int socket, std::function<void()> work) {
    std::lock_guard lock(mutex_);
    if (queue_ == nullptr) {
        return false;
    }
    auto& inbox = inboxes_[socket];
    if (inbox.empty()) {
        turns_.push_back(socket);
    }
    inbox.push_back(std::move(work));
    if (!draining_) {
        draining_ = true;
        pushDrain(*queue_);
    }
    return true;
}

void ControllerMailbox::pushDrain(common::ITaskQueue& queue) {
    std::weak_ptr<ControllerMailbox> self = weak_from_this();
    queue.push(
        [self](bool&, unsigned long) {
            if (const auto box = self.lock()) {
                box->drain();
            }
        },
        0);
}

void ControllerMailbox::drain() {
    std::vector<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        while (!turns_.empty() && batch.size() < kBatch) {
            const unsigned int socket = turns_.front();
            turns_.pop_front();
            auto inbox = inboxes_.find(socket);
            batch.push_back(std::move(inbox->second.front()));
            inbox->second.pop_front();
            if (inbox->second.empty()) {
                inboxes_.erase(inbox);
            } else {
                turns_.push_back(socket);
            }
        }
    }
    for (auto& work : batch) {
        work();
    }
    std::lock_guard lock(mutex_);
    if (turns_.empty() || queue_ == nullptr) {
        draining_ = false;
    } else {
        pushDrain(*queue_);
    }
}

void ControllerMailbox::close() {
    std::lock_guard lock(mutex_);
    queue_ = nullptr;
    inboxes_.clear();
    turns_.clear();
}

}  // namespace interprocess
