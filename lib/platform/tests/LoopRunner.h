#pragma once

#include <chrono>

#include "platform/appkit/Application.h"
#include "platform/dispatch/TimerSource.h"

namespace looptest {

// Runs the application loop on the calling thread until something stops it,
// but at most for `limit`. True when it ended before the limit.
inline bool runLoop(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto& application = platform::appkit::Application::shared();
    bool expired = false;
    platform::dispatch::TimerSource guard;
    guard.setTimer(limit, std::chrono::nanoseconds::zero(), std::chrono::nanoseconds::zero());
    guard.setEventHandler([&] {
        expired = true;
        application.stop();
    });
    guard.resume();
    application.run();
    guard.cancel();
    return !expired;
}

}  // namespace looptest
