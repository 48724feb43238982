#include "platform/dispatch/TimerSource.h"

#include <mutex>

#include <boost/asio/steady_timer.hpp>

#include "platform/dispatch/MainQueue.h"

namespace platform::dispatch {

using Clock = std::chrono::steady_clock;

struct TimerSource::State : std::enable_shared_from_this<TimerSource::State> {
    State() : timer(mainQueueContext()) {}

    // Lock held.
    void arm(Clock::time_point when) {
        timer.expires_at(when);
        const unsigned long armed = ++generation;
        timer.async_wait([self = shared_from_this(), armed](const boost::system::error_code& ec) {
            self->fired(armed, ec);
        });
    }

    void fired(unsigned long armed, const boost::system::error_code& ec) {
        Handler call;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (cancelled || ec || armed != generation) {
                return;
            }
            if (interval > std::chrono::nanoseconds::zero()) {
                const auto now = Clock::now();
                auto next = timer.expiry() + interval;
                if (next <= now) {
                    next = now + interval;
                }
                arm(next);
            }
            call = handler;
        }
        if (call) {
            call();
        }
    }

    mutable std::mutex mutex;
    boost::asio::steady_timer timer;
    Handler handler;
    std::chrono::nanoseconds start{0};
    std::chrono::nanoseconds interval{0};
    unsigned long generation = 0;
    bool resumed = false;
    bool cancelled = false;
};

TimerSource::TimerSource() : _state(std::make_shared<State>()) {}

TimerSource::~TimerSource() {
    cancel();
}

void TimerSource::setTimer(std::chrono::nanoseconds start, std::chrono::nanoseconds interval,
                           std::chrono::nanoseconds /*leeway*/) {
    std::lock_guard<std::mutex> lock(_state->mutex);
    _state->start = start;
    _state->interval = interval;
    if (_state->resumed && !_state->cancelled) {
        _state->arm(Clock::now() + start);
    }
}

void TimerSource::setEventHandler(Handler handler) {
    Handler previous;
    std::lock_guard<std::mutex> lock(_state->mutex);
    if (!_state->cancelled) {
        previous = std::exchange(_state->handler, std::move(handler));
    }
}

void TimerSource::resume() {
    std::lock_guard<std::mutex> lock(_state->mutex);
    if (_state->resumed || _state->cancelled) {
        return;
    }
    _state->resumed = true;
    _state->arm(Clock::now() + _state->start);
}

void TimerSource::cancel() {
    Handler released;
    std::lock_guard<std::mutex> lock(_state->mutex);
    if (_state->cancelled) {
        return;
    }
    _state->cancelled = true;
    released = std::move(_state->handler);
    _state->handler = nullptr;
    _state->timer.cancel();
}

bool TimerSource::isCancelled() const {
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->cancelled;
}

}  // namespace platform::dispatch
