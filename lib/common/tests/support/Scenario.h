#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "support/ChildProcess.h"
#include "support/LogCapture.h"

namespace testsupport {

// Runs `scenario` in a child process of its own (for process-wide set-up
// such as logging; the parent's early records are dropped) and fails the
// test when it hangs, dies or fails.
inline void runScenario(const std::function<void()>& scenario) {
    const auto result = runInChild([&] {
        forgetEarlyRecords();
        scenario();
        return 0;
    });
    ASSERT_FALSE(result.timedOut) << "the scenario hung";
    ASSERT_TRUE(result.exited) << "the scenario died with signal " << result.signal;
    ASSERT_EQ(0, result.exitCode);
}

}  // namespace testsupport
