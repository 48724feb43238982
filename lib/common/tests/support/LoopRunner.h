#pragma once

#include <chrono>

#include "platform/appkit/Application.h"
#include "platform/dispatch/TimerSource.h"

namespace looptest {

// Calls `body`, which runs the application loop on this thread, with a guard
// that stops the loop once `limit` has passed. True when the loop ended
// before the limit.
template <typename Body>
bool withinLimit(std::chrono::milliseconds limit, Body body) {
    bool expired = false;
    platform::dispatch::TimerSource guard;
    guard.setTimer(limit, std::chrono::nanoseconds::zero(), std::chrono::nanoseconds::zero());
    guard.setEventHandler([&] {
        expired = true;
        platform::appkit::Application::shared().stop();
    });
    guard.resume();
    body();
    guard.cancel();
    return !expired;
}

// Runs the application loop until something stops it, but at most for
// `limit`. True when it ended before the limit.
inline bool runLoop(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    return withinLimit(limit, [] { platform::appkit::Application::shared().run(); });
}

}  // namespace looptest
