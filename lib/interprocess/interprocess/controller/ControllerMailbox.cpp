#include "interprocess/controller/ControllerMailbox.h"

#include <vector>

namespace interprocess {

bool ControllerMailbox::post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    if (queue_ == nullptr) {
        return false;
    }
    inbox_.push_back(std::move(work));
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
        while (!inbox_.empty() && batch.size() < kBatch) {
            batch.push_back(std::move(inbox_.front()));
            inbox_.pop_front();
        }
    }
    for (auto& work : batch) {
        work();
    }
    std::lock_guard lock(mutex_);
    if (inbox_.empty() || queue_ == nullptr) {
        draining_ = false;
    } else {
        pushDrain(*queue_);
    }
}

void ControllerMailbox::close() {
    std::lock_guard lock(mutex_);
    queue_ = nullptr;
    inbox_.clear();
}

}  // namespace interprocess
