#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>

namespace network {

namespace detail {
class AsyncExecutor;
}

// Owns the one I/O context on which every object of the network library runs
// its completions. Either runs it on a worker thread of its own (`Start`) or
// leaves it to its owner to poll from another loop.
class AsyncService {
public:
    using Callback = std::function<void()>;

    // With `noAutoStart` false the worker thread starts at once.
    AsyncService(bool noAutoStart, const char* threadName, Callback init);
    virtual ~AsyncService();

    AsyncService(const AsyncService&) = delete;
    AsyncService& operator=(const AsyncService&) = delete;

    // Starts the worker thread unless it runs or the service is stopped.
    // Throws std::system_error("thread constructor failed") when the thread
    // cannot be made.
    void Start();
    // Stops the context and joins the worker (detaches it when called on the
    // worker itself), then releases the context; pending handlers are
    // destroyed without being called. A second call does nothing.
    void Stop();

    // Not to be used after Stop.
    boost::asio::io_context& GetIOContext();
    std::shared_ptr<detail::AsyncExecutor> GetExecutor() const { return executor_; }
    bool HasThread() const { return thread_.joinable(); }

    // Runs `fn` on the context once the steady clock has reached `deadline`
    // (an absolute time, not a delay). Callable from any thread.
    void PostDelayed(std::chrono::steady_clock::time_point deadline, Callback fn);

private:
    static void RunThread(const std::string& name,
                          const std::shared_ptr<detail::AsyncExecutor>& executor);

    std::thread thread_;
    std::shared_ptr<detail::AsyncExecutor> executor_;
    std::string name_;
};

}  // namespace network
