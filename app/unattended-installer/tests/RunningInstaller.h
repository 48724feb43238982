#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace installertest {

// A process (the installer, mostly) that a test talks to while it runs: lines
// to its standard input, which stays open until finish, and its standard error,
// the window, read as it grows. Killed when the object goes.
class RunningInstaller {
public:
    // Starts `argv` (argv[0] is the path) with `environment` ("NAME=value"
    // entries added or replaced, a bare name removed).
    RunningInstaller(const std::vector<std::string>& argv,
                     const std::vector<std::string>& environment);
    ~RunningInstaller();
    RunningInstaller(const RunningInstaller&) = delete;
    RunningInstaller& operator=(const RunningInstaller&) = delete;

    // Waits until standard error holds the whole line `line`; false when the
    // process ended or the time ran out first.
    bool waitForErrorLine(const std::string& line,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // True when the process has not ended within `period`.
    bool staysRunning(std::chrono::milliseconds period);
    void writeInput(const std::string& text);
    void closeInput();
    void signal(int number) const;
    // Closes standard input and waits for the process, killing it after
    // `timeout`.
    testsupport::ChildResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    std::string errors() const;
    pid_t pid() const { return pid_; }

private:
    bool ended();

    testsupport::TempDir streams_{"installer-run"};
    pid_t pid_ = -1;
    int input_ = -1;
    testsupport::ChildResult result_;
};

}  // namespace installertest
