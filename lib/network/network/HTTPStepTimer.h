#pragma once

#include <chrono>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "network/HTTPExchange.h"

namespace network {

// The one timer of a connection's exchanges: each step of an exchange may
// take the socket's time-out. Steps only note when they started; the timer
// is moved only when a step is due before it fires, and looks again when it
// fires: a timer set and cancelled for every step or request would cost a
// turn of the event loop, and system calls, on every request. A step past
// its time marks its exchange timed out and cancels the socket's operations.
// The timer lives while a wait is pending, so that it never outlives the
// event loop's context.
class HTTPStepTimer {
public:
    explicit HTTPStepTimer(boost::asio::io_context& context) : context_(context) {}

    // `exchange` starts a step now; it is the exchange timed from now on.
    void StartStep(const std::shared_ptr<HTTPExchange>& exchange);

private:
    struct State {
        explicit State(boost::asio::io_context& context) : timer(context) {}
        boost::asio::steady_timer timer;
        std::chrono::steady_clock::time_point due;
        std::weak_ptr<HTTPExchange> timed;
    };

    static std::chrono::milliseconds Timeout(const HTTPExchange& exchange);
    static void Wait(const std::shared_ptr<State>& state, std::chrono::steady_clock::time_point due);

    boost::asio::io_context& context_;
    std::weak_ptr<State> state_;
};

}  // namespace network
