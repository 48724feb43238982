#include "interprocess/controller/LinkAttempts.h"

#include <algorithm>

namespace interprocess {

void LinkAttempts::know(helper::ApplicationType peer) {
    std::lock_guard lock(mutex_);
    delays_.emplace(peer, 0);
}

std::int64_t LinkAttempts::delay(helper::ApplicationType peer) {
    std::lock_guard lock(mutex_);
    return delays_[peer];
}

void LinkAttempts::advance(helper::ApplicationType peer) {
    std::lock_guard lock(mutex_);
    auto& delay = delays_[peer];
    delay = delay == 0 ? 1 : std::min(delay * 2, kMaxDelay);
}

void LinkAttempts::reset(helper::ApplicationType peer) {
    std::lock_guard lock(mutex_);
    delays_[peer] = 0;
}

void LinkAttempts::await(helper::ApplicationType peer, std::function<void(bool)> callback) {
    std::lock_guard lock(mutex_);
    callbacks_[peer].push_back(std::move(callback));
}

void LinkAttempts::tell(helper::ApplicationType peer, bool linked) {
    std::vector<std::function<void(bool)>> waiting;
    {
        std::lock_guard lock(mutex_);
        const auto found = callbacks_.find(peer);
        if (found == callbacks_.end()) {
            return;
        }
        waiting.swap(found->second);
        callbacks_.erase(found);
    }
    for (const auto& callback : waiting) {
        callback(linked);
    }
}

}  // namespace interprocess
