#pragma once

#include <functional>
#include <thread>

// Takes the closing signals (SIGHUP, SIGINT, SIGTERM) on a thread of its
// own instead of letting them end the process wherever it stands: the first
// one runs `cleanup` on that thread, where any call is safe, then ends the
// process by that same signal, its action set back to the default (so a
// shell sees the death by a signal, and a loop in it stops). A signal the
// process was started with ignored stays ignored.
//
// Made before the program starts any other thread: the signals are blocked
// in the thread that makes it, and every thread made after inherits that.
// Goes before what `cleanup` uses; the signals stay blocked after. Where no
// thread can be started (a limit of processes), the signals keep their usual
// effect.
class ClosingSignals {
public:
    explicit ClosingSignals(std::function<void()> cleanup);
    ~ClosingSignals();
    ClosingSignals(const ClosingSignals&) = delete;
    ClosingSignals& operator=(const ClosingSignals&) = delete;

private:
    void Run();

    std::function<void()> cleanup_;
    int signals_ = -1;  // the signals, as a signalfd
    int stop_ = -1;     // an eventfd that ends the thread
    std::thread thread_;
};
