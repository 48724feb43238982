#pragma once

#include <cstdint>

// One child program kept running for its owner. An attached child is run and
// watched through Qt; a detached one runs on its own and is watched by its
// process id. While keep-alive is on (from the start), a stopped child is
// started again.
class IQtProcess {
public:
    enum ProcessType : std::int32_t { Attached = 0, Detached = 1 };

    virtual ~IQtProcess() = default;

    // Starts the program on the Qt thread; with `waitForStart` the Qt thread
    // then waits (bounded) until an attached child has started.
    virtual void start(bool waitForStart) = 0;
    // Asks the child to end (SIGTERM).
    virtual void terminate() = 0;
    // Kills an attached child; a detached one is not affected.
    virtual void kill() = 0;
    // Whether a stopped attached child is started again; turning it on
    // starts an attached child that is not running.
    virtual void setKeepAlive(bool on) = 0;
};
