#include "common/taskscheduler/TaskSchedulerMac.h"

#include <mutex>

#include "platform/appkit/Application.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/TimerSource.h"

namespace common {

namespace {

// Ticks may come up to this much late.
constexpr std::chrono::nanoseconds kTimerLeeway(100000000);

// Ends the application loop at once: the posted event wakes it.
void stopApplicationLoop() {
    auto& application = platform::appkit::Application::shared();
    application.activateIgnoringOtherApps(true);
    application.stop();
    platform::appkit::Event wakeUp;
    wakeUp.type = platform::appkit::EventType::applicationDefined;
    application.postEvent(wakeUp, true);
}

}  // namespace

struct TaskSchedulerMac::Control {
    std::shared_ptr<TaskSchedulerMac> scheduler() {
        std::lock_guard<std::mutex> lock(mutex);
        return weakScheduler.lock();
    }

    std::mutex mutex;
    // Set by create, once the scheduler is owned by a std::shared_ptr.
    std::weak_ptr<TaskSchedulerMac> weakScheduler;
};

std::shared_ptr<TaskSchedulerMac> TaskSchedulerMac::create(
    const std::chrono::milliseconds& interval, std::unique_ptr<ILogger> logger) {
    auto scheduler = std::make_shared<TaskSchedulerMac>(std::move(logger), interval);
    std::lock_guard<std::mutex> lock(scheduler->_control->mutex);
    scheduler->_control->weakScheduler = scheduler;
    return scheduler;
}

TaskSchedulerMac::TaskSchedulerMac(std::unique_ptr<ILogger> logger,
                                   const std::chrono::milliseconds& interval)
    : TaskScheduler(std::move(logger), interval),
      _control(std::make_shared<Control>()),
      _timer(std::make_unique<platform::dispatch::TimerSource>()) {
    const auto period = std::chrono::nanoseconds(static_cast<std::chrono::nanoseconds::rep>(
        static_cast<double>(interval.count()) * 1000000.0));
    _timer->setTimer(period, period, kTimerLeeway);
    // The handler holds the scheduler for the length of one tick only, so a
    // scheduler released meanwhile (on any thread, or by the task itself) is
    // destroyed after the tick, never during it.
    _timer->setEventHandler([control = _control] {
        if (const auto scheduler = control->scheduler()) {
            scheduler->onTimer();
        }
    });
    _timer->resume();
}

TaskSchedulerMac::~TaskSchedulerMac() {
    if (_running) {
        _timer->cancel();
        // The scheduler is gone when the request runs: it stops the loop that
        // was running for it without looking at the scheduler.
        platform::dispatch::asyncMain(stopApplicationLoop);
    }
    _timer.reset();
}

int TaskSchedulerMac::run() {
    if (_running.exchange(true)) {
        return 1;
    }
    platform::appkit::Application::shared().run();
    _running = false;
    return 0;
}

void TaskSchedulerMac::stop() {
    _timer->cancel();
    platform::dispatch::asyncMain([control = _control] {
        const auto scheduler = control->scheduler();
        if (scheduler && scheduler->_running) {
            stopApplicationLoop();
        }
    });
}

}  // namespace common
