#include "platform/dispatch/ReadSource.h"

#include <mutex>

#include <boost/asio/error.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include "platform/dispatch/MainQueue.h"

namespace platform::dispatch {

struct ReadSource::State : std::enable_shared_from_this<ReadSource::State> {
    State(int fd, Handler handler)
        : descriptor(mainQueueContext(), fd), handler(std::move(handler)) {}

    // Lock held. Takes the descriptor off the loop at once, without closing
    // it (it is the caller's): the number may be closed and handed out again
    // as soon as this returns, and a later removal would take the new
    // owner's descriptor off the loop instead. The pending wait ends with
    // operation_aborted.
    void unwatch() { descriptor.release(); }

    // Lock held.
    void watch() {
        descriptor.async_wait(
            boost::asio::posix::stream_descriptor::wait_read,
            [self = shared_from_this()](const boost::system::error_code& ec) { self->ready(ec); });
    }

    void ready(const boost::system::error_code& ec) {
        Handler call;
        {
            std::lock_guard<std::mutex> lock(mutex);
            // Descriptors the loop cannot wait for (regular files) report an
            // error here; reading them never blocks, so they count as ready.
            if (cancelled || ec == boost::asio::error::operation_aborted) {
                return;
            }
            watch();
            call = handler;
        }
        if (call) {
            call();
        }
    }

    std::mutex mutex;
    boost::asio::posix::stream_descriptor descriptor;
    Handler handler;
    bool cancelled = false;
};

ReadSource::ReadSource(int fd, Handler handler)
    : _state(std::make_shared<State>(fd, std::move(handler))) {
    std::lock_guard<std::mutex> lock(_state->mutex);
    _state->watch();
}

ReadSource::~ReadSource() {
    cancel();
}

void ReadSource::cancel() {
    Handler released;
    std::lock_guard<std::mutex> lock(_state->mutex);
    if (_state->cancelled) {
        return;
    }
    _state->cancelled = true;
    released = std::move(_state->handler);
    _state->handler = nullptr;
    _state->unwatch();
}

}  // namespace platform::dispatch
