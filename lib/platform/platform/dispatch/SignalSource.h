#pragma once

#include <functional>
#include <memory>

namespace platform::dispatch {

// Takes over delivery of one signal: each time the process receives it, the
// handler runs on the main queue with the signal number (the system may merge
// a signal that arrives while the same one is still pending). Cancelling is final, may happen on
// any thread and gives the signal back its default action; destroying the
// source cancels it.
class SignalSource {
public:
    using Handler = std::function<void(int signal)>;

    // Throws boost::system::system_error when the signal cannot be taken over.
    SignalSource(int signal, Handler handler);
    ~SignalSource();
    SignalSource(const SignalSource&) = delete;
    SignalSource& operator=(const SignalSource&) = delete;

    void cancel();

private:
    struct State;
    std::shared_ptr<State> _state;
};

}  // namespace platform::dispatch
