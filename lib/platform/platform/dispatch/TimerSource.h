#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace platform::dispatch {

// A repeating timer whose event handler runs on the main queue. Made
// suspended: set the timer and the handler, then resume it. Cancelling is
// final and may happen on any thread; destroying the source cancels it.
class TimerSource {
public:
    using Handler = std::function<void()>;

    TimerSource();
    ~TimerSource();
    TimerSource(const TimerSource&) = delete;
    TimerSource& operator=(const TimerSource&) = delete;

    // First event `start` from now, then one every `interval` (a zero interval
    // fires once). When events fall behind, the missed ones are merged into
    // one. `leeway` is accepted and not used: events come as close to their
    // time as the loop allows.
    void setTimer(std::chrono::nanoseconds start, std::chrono::nanoseconds interval,
                  std::chrono::nanoseconds leeway);
    void setEventHandler(Handler handler);
    void resume();

    // No event handler call starts after this; a call already under way on the
    // loop's thread runs to its end.
    void cancel();
    bool isCancelled() const;

private:
    struct State;
    std::shared_ptr<State> _state;
};

}  // namespace platform::dispatch
