#include "platform/dispatch/MainQueue.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

namespace platform::dispatch {

namespace {

struct MainQueue {
    boost::asio::io_context context;
    // Keeps the loop waiting for work when nothing is queued.
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> keepWaiting{
        context.get_executor()};
};

MainQueue& mainQueue() {
    // Never destroyed: work still queued at exit may refer to objects that
    // static destruction has already taken away.
    static MainQueue* const queue = new MainQueue;
    return *queue;
}

}  // namespace

boost::asio::io_context& mainQueueContext() {
    return mainQueue().context;
}

void asyncMain(std::function<void()> work) {
    boost::asio::post(mainQueueContext(), std::move(work));
}

}  // namespace platform::dispatch
