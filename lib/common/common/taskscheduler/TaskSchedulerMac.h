#pragma once

#include <chrono>
#include <memory>

#include "common/logging/ILogger.h"
#include "common/taskscheduler/TaskScheduler.h"

namespace platform::dispatch {
class TimerSource;
}

namespace common {

// The scheduler of the program's main thread: run hands the thread to the
// application loop, and a timer on the main queue runs one due task per tick,
// interleaved with the loop's other work. The timer ticks from construction
// on; it delivers only while the main queue is being served.
class TaskSchedulerMac : public TaskScheduler {
public:
    static std::shared_ptr<TaskSchedulerMac> create(const std::chrono::milliseconds& interval,
                                                    std::unique_ptr<ILogger> logger);

    TaskSchedulerMac(std::unique_ptr<ILogger> logger, const std::chrono::milliseconds& interval);
    ~TaskSchedulerMac() override;

    // Runs the application loop until the scheduler stops and answers 0;
    // answers 1 at once when already running.
    int run() override;
    // Cancels the timer for good and asks the loop to stop. Callable from any
    // thread and from inside a task; returns at once.
    void stop() override;

private:
    // What the timer's handler and the posted stop request reach the
    // scheduler through: never the object itself, which may be gone by then.
    struct Control;

    std::shared_ptr<Control> _control;
    std::unique_ptr<platform::dispatch::TimerSource> _timer;
};

}  // namespace common
