#include "platform/dispatch/SignalSource.h"

#include <mutex>

#include <boost/asio/signal_set.hpp>

#include "platform/dispatch/MainQueue.h"

namespace platform::dispatch {

struct SignalSource::State : std::enable_shared_from_this<SignalSource::State> {
    State(int signal, Handler handler)
        : signals(mainQueueContext(), signal), handler(std::move(handler)) {}

    // Lock held.
    void watch() {
        signals.async_wait([self = shared_from_this()](const boost::system::error_code& ec,
                                                       int signal) { self->received(ec, signal); });
    }

    void received(const boost::system::error_code& ec, int signal) {
        Handler call;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (cancelled || ec) {
                return;
            }
            watch();
            call = handler;
        }
        if (call) {
            call(signal);
        }
    }

    std::mutex mutex;
    boost::asio::signal_set signals;
    Handler handler;
    bool cancelled = false;
};

SignalSource::SignalSource(int signal, Handler handler)
    : _state(std::make_shared<State>(signal, std::move(handler))) {
    std::lock_guard<std::mutex> lock(_state->mutex);
    _state->watch();
}

SignalSource::~SignalSource() {
    cancel();
}

void SignalSource::cancel() {
    Handler released;
    std::lock_guard<std::mutex> lock(_state->mutex);
    if (_state->cancelled) {
        return;
    }
    _state->cancelled = true;
    released = std::move(_state->handler);
    _state->handler = nullptr;
    boost::system::error_code ignored;
    _state->signals.clear(ignored);
    _state->signals.cancel(ignored);
}

}  // namespace platform::dispatch
