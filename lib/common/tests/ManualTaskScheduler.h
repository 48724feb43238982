#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "RecordingLogger.h"
#include "common/taskscheduler/TaskScheduler.h"

namespace testsupport {

// A scheduler that the test drives by hand (runOne, process, onTimer); run
// does nothing and stop is only counted.
class ManualTaskScheduler : public common::TaskScheduler {
public:
    ManualTaskScheduler(std::shared_ptr<RecordingLogger::Lines> lines,
                        std::chrono::milliseconds interval = std::chrono::milliseconds::zero())
        : TaskScheduler(std::make_unique<RecordingLogger>(std::move(lines)), interval) {}

    int run() override { return 0; }
    void stop() override { ++stops; }

    std::atomic<int> stops{0};
};

}  // namespace testsupport
