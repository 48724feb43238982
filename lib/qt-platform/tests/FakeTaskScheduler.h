#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "ManualTaskScheduler.h"

// The real scheduler (held as it must be, in a shared pointer), driven by the test on its own
// thread: tasks pushed from any thread run when the test runs them, in order, whatever their delay.
class FakeTaskScheduler : public common::ITaskScheduler {
public:
    std::unique_ptr<common::ITaskQueue> createQueue(const std::string& name) override {
        return scheduler_->createQueue(name);
    }
    int run() override { return 0; }
    void stop() override {}
    void process(std::function<bool()> keepGoing) override { scheduler_->process(keepGoing); }
    void runOne(const std::string& queue, bool force) override { scheduler_->runOne(queue, force); }
    std::size_t taskCount() override { return scheduler_->taskCount(); }

    // Runs tasks as they come until `condition` holds; false when it still does not after
    // `timeout`.
    bool runUntil(const std::function<bool()>& condition,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            taskCount() > 0 ? runOne({}, true)
                            : std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return condition();
    }
    // Runs the tasks queued now (not those they queue).
    void runPending() {
        for (std::size_t count = taskCount(); count > 0; --count) runOne({}, true);
    }

private:
    std::shared_ptr<testsupport::ManualTaskScheduler> scheduler_ =
        std::make_shared<testsupport::ManualTaskScheduler>(
            std::make_shared<testsupport::RecordingLogger::Lines>());
};
