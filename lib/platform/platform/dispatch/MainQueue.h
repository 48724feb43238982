#pragma once

#include <functional>

#include <boost/asio/io_context.hpp>

namespace platform::dispatch {

// The main queue: work items that run one at a time, in the order they were
// queued, on the thread that runs the application loop
// (platform::appkit::Application). The queue never runs dry on its own: the
// loop waits for work instead of returning.
boost::asio::io_context& mainQueueContext();

// Queues `work` on the main queue and wakes the loop. Callable from any thread.
void asyncMain(std::function<void()> work);

}  // namespace platform::dispatch
