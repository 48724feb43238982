#pragma once

#include <functional>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace network::detail {

// The I/O context of one service and the work guard that keeps it running
// while nothing is pending. Held by shared pointer, so that a worker thread
// keeps it alive for as long as it runs it.
class AsyncExecutor {
public:
    explicit AsyncExecutor(std::function<void()> init);

    boost::asio::io_context& IOContext() { return context_; }

    // Runs the context on the calling thread until it is stopped.
    void Run();
    // Runs every handler that is ready now, and those they make ready, then
    // returns without waiting. Returns at once once the context is stopped.
    void Poll();
    // Drops the work guard and stops the context: Run returns, and later Run
    // and Poll calls return at once.
    void Shutdown();

private:
    std::function<void()> init_;
    boost::asio::io_context context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
};

}  // namespace network::detail
