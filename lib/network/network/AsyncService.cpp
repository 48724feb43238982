#include "network/AsyncService.h"

#include <cerrno>
#include <system_error>

#include <boost/asio/steady_timer.hpp>

#include "network/ThreadName.h"
#include "network/detail/AsyncExecutor.h"

namespace network {

AsyncService::AsyncService(bool noAutoStart, const char* threadName, Callback init)
    : executor_(std::make_shared<detail::AsyncExecutor>(std::move(init))),
      name_(threadName ? threadName : "") {
    if (!noAutoStart) {
        Start();
    }
}

AsyncService::~AsyncService() {
    try {
        Stop();
    } catch (...) {
        std::terminate();
    }
}

void AsyncService::Start() {
    if (!executor_ || thread_.joinable()) {
        return;
    }
    try {
        thread_ = std::thread([name = name_, executor = executor_] { RunThread(name, executor); });
    } catch (const std::system_error& e) {
        throw std::system_error(e.code(), "thread constructor failed");
    }
}

void AsyncService::Stop() {
    if (!executor_) {
        return;
    }
    executor_->Shutdown();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
    executor_.reset();
}

boost::asio::io_context& AsyncService::GetIOContext() {
    return executor_->IOContext();
}

void AsyncService::PostDelayed(std::chrono::steady_clock::time_point deadline, Callback fn) {
    auto timer = std::make_shared<boost::asio::steady_timer>(executor_->IOContext(), deadline);
    timer->async_wait([timer, fn = std::move(fn)](const boost::system::error_code& error) {
        if (!error && fn) {
            fn();
        }
    });
}

void AsyncService::RunThread(const std::string& name,
                             const std::shared_ptr<detail::AsyncExecutor>& executor) {
    SetCurrentThreadName(name);
    // A Stop on this very thread releases the service's reference; the
    // thread's own keeps the context alive until Run has returned.
    executor->Run();
}

}  // namespace network
