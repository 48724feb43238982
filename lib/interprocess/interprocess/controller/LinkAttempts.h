#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "helper/ApplicationType.h"

namespace interprocess {

// The local-socket controller's attempts to link with each peer: the delay
// before the next attempt, in delay units, which goes 0, 1, 2, 4, ... up to
// kMaxDelay and starts over once a link is up, and the callbacks that wait
// to hear whether a link came up. Any thread.
class LinkAttempts {
public:
    static constexpr std::int64_t kMaxDelay = 60;

    // A peer asked for the first time starts without delay.
    void know(helper::ApplicationType peer);
    std::int64_t delay(helper::ApplicationType peer);
    // After an attempt: the next one waits longer.
    void advance(helper::ApplicationType peer);
    // A link is up: the next attempt is made at once.
    void reset(helper::ApplicationType peer);
    // `callback` hears the outcome of the attempts to link with the peer.
    void await(helper::ApplicationType peer, std::function<void(bool)> callback);
    // Tells, once, every callback that waits for the peer.
    void tell(helper::ApplicationType peer, bool linked);

private:
    std::mutex mutex_;
    std::map<helper::ApplicationType, std::int64_t> delays_;
    std::map<helper::ApplicationType, std::vector<std::function<void(bool)>>> callbacks_;
};

}  // namespace interprocess
