#pragma once

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "common/logging/Logger.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace testsupport {

// The records that a scenario logged, at every level, taken from the CSV log
// ("<time>;<level>;;<channel>;;;<message>").
struct LoggedRun {
    ChildResult result;
    std::vector<std::string> lines;

    // Records at `level` ("trace", "debug", "info", "warning", "error") on
    // `channel` whose message is exactly `message` (with `part`: contains it).
    int count(const std::string& level, const std::string& channel, const std::string& message,
              bool part = false) const {
        const std::string head = ";" + level + ";;" + channel + ";;;";
        int found = 0;
        for (const auto& line : lines) {
            const auto at = line.find(head);
            found += at != std::string::npos &&
                     (part ? line.find(message, at + head.size()) != std::string::npos
                           : line.compare(at + head.size(), std::string::npos, message) == 0);
        }
        return found;
    }
    bool has(const std::string& level, const std::string& channel,
             const std::string& message) const {
        return count(level, channel, message) > 0;
    }
    int countPart(const std::string& level, const std::string& channel,
                  const std::string& part) const {
        return count(level, channel, part, true);
    }
    bool hasPart(const std::string& level, const std::string& channel,
                 const std::string& part) const {
        return count(level, channel, part, true) > 0;
    }

    // Records on `channel` at any level.
    int countOnChannel(const std::string& channel) const {
        int found = 0;
        for (const auto& line : lines) {
            found += line.find(";;" + channel + ";;;") != std::string::npos ? 1 : 0;
        }
        return found;
    }

    std::string text() const {
        std::string all;
        for (const auto& line : lines) {
            all += line + "\n";
        }
        return all;
    }
};

// Drops the logger that keeps the records this process logged before
// logging was set up (for `init` to write out): a child forked to set
// logging up starts as a fresh process would, with none of its parent's.
inline void forgetEarlyRecords() {
    spdlog::drop("GlobalLogger");
}

// Runs `scenario` in a child process (logging set-up is process-wide and
// happens once) whose log records go into a CSV file, and returns what it
// logged. The scenario's return value is the child's exit code.
inline LoggedRun runLogged(const std::function<int()>& scenario) {
    TempDir folder("quorvane-log");
    LoggedRun run;
    run.result = runInChild([&] {
        forgetEarlyRecords();
        common::Logger::setLogFolder(folder.path());
        common::Logger::init("Test", "/opt/probe", helper::ApplicationType::ComponentTest,
                             {common::logsink::rotatingCsv});
        return scenario();
    });
    run.lines = splitLines(readFile(folder.file("probe.csv")));
    return run;
}

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
