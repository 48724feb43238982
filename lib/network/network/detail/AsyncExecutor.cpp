#include "network/detail/AsyncExecutor.h"

namespace network::detail {

AsyncExecutor::AsyncExecutor(std::function<void()> init)
    : init_(std::move(init)), work_(boost::asio::make_work_guard(context_)) {}

void AsyncExecutor::Run() {
    context_.run();
}

void AsyncExecutor::Poll() {
    if (!context_.stopped()) {
        context_.poll();
    }
}

void AsyncExecutor::Shutdown() {
    work_.reset();
    context_.stop();
}

}  // namespace network::detail
