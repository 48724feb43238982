#include "network/HTTPStepTimer.h"

namespace network {

void HTTPStepTimer::StartStep(const std::shared_ptr<HTTPExchange>& exchange) {
    exchange->stepStarted = std::chrono::steady_clock::now();
    const auto due = exchange->stepStarted + Timeout(*exchange);
    auto state = state_.lock();
    if (state) {
        state->timed = exchange;
        if (state->due <= due) {
            return;
        }
    } else {
        state = std::make_shared<State>(context_);
        state->timed = exchange;
        state_ = state;
    }
    Wait(state, due);
}

std::chrono::milliseconds HTTPStepTimer::Timeout(const HTTPExchange& exchange) {
    return std::chrono::milliseconds(exchange.socket->GetTimeout());
}

void HTTPStepTimer::Wait(const std::shared_ptr<State>& state,
                         std::chrono::steady_clock::time_point due) {
    state->due = due;
    // A wait already pending ends as cancelled; the new one holds the timer.
    state->timer.expires_at(due);
    state->timer.async_wait([state, due](const boost::system::error_code& error) {
        if (error || state->due != due) {
            return;
        }
        auto exchange = state->timed.lock();
        if (!exchange || exchange->finished) {
            // Nothing to time: the timer goes with this handler.
            return;
        }
        const auto stepDue = exchange->stepStarted + Timeout(*exchange);
        if (std::chrono::steady_clock::now() < stepDue) {
            Wait(state, stepDue);
            return;
        }
        exchange->timedOut = true;
        boost::system::error_code ignored;
        exchange->socket->GetTCPStream().cancel(ignored);
    });
}

}  // namespace network
