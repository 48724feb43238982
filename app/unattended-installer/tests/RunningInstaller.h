#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace installertest {

// An installer process (or any other) that a test talks to while it runs: it writes lines
// to its standard input, waits for the window's lines on its standard error,
// and signals it. Standard input stays open until closeInput or finish.
class RunningInstaller {
public:
    // Starts `argv` (argv[0] is the path) with `environment` ("NAME=value"
    // entries added or replaced, a bare name removed).
    RunningInstaller(const std::vector<std::string>& argv,
                     const std::vector<std::string>& environment);
    // Kills the process when it is still running.
    ~RunningInstaller();
    RunningInstaller(const RunningInstaller&) = delete;
    RunningInstaller& operator=(const RunningInstaller&) = delete;

    bool started() const { return pid_ > 0; }

    // Waits until standard error holds the whole line `line`; false when the
    // process closed its output or the time ran out first.
    bool waitForErrorLine(const std::string& line,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // The first line of standard output, waited for up to `timeout`; empty
    // when none came.
    std::string firstOutputLine(std::chrono::milliseconds timeout);

    // True when the process has not ended within `period`.
    bool staysRunning(std::chrono::milliseconds period);

    void writeInput(const std::string& text);
    void closeInput();
    void signal(int number) const;

    // Closes standard input, reads the output to its end and waits for the
    // process, killing it after `timeout`.
    testsupport::ChildResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(30));

    const std::string& errors() const { return result_.errors; }

private:
    // Reads what is there within `timeout`; false once both outputs closed.
    bool pump(std::chrono::milliseconds timeout);
    void noteStatus(int status);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
    bool waited_ = false;
    testsupport::ChildResult result_;
};

}  // namespace installertest
