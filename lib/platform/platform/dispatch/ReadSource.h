#pragma once

#include <functional>
#include <memory>

namespace platform::dispatch {

// Watches a file descriptor (such as standard input) and runs the handler on
// the main queue whenever the descriptor has data to read or has reached its
// end. The handler reads the data itself; as long as data is left unread, the
// handler keeps being called. The descriptor stays open and stays the
// caller's. Cancelling is final and may happen on any thread; destroying the
// source cancels it. Once cancel or the destructor has returned, the loop no
// longer watches the descriptor, so the caller may close it at once.
class ReadSource {
public:
    using Handler = std::function<void()>;

    // Throws boost::system::system_error when the descriptor cannot be
    // watched (for example, when it is not open).
    ReadSource(int fd, Handler handler);
    ~ReadSource();
    ReadSource(const ReadSource&) = delete;
    ReadSource& operator=(const ReadSource&) = delete;

    void cancel();

private:
    struct State;
    std::shared_ptr<State> _state;
};

}  // namespace platform::dispatch
