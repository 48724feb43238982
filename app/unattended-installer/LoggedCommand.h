#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "common/logging/ILogger.h"

namespace quorvane::unattended {

// Runs a program of the install (unzip, the agent daemon) so that nothing it
// does can speak for the installer: no shell; standard input from
// /dev/null; standard output and error read into the log, line by line,
// never to the window's stream or the result line; no other descriptor of
// ours. It runs in a process group of its own, and a run that outlasts its
// time-out is stopped: the group gets SIGTERM, then SIGKILL after a grace.
// Output still held open by a background child once the program has ended
// is read for a moment and then left.
class LoggedCommand {
public:
    static constexpr int kCannotRun = -1;
    static constexpr int kTimedOut = -2;

    // `name` prefixes the logged lines.
    LoggedCommand(common::ILogger& logger, std::string name);

    // Runs argv (argv[0] the program's path). `inherited`, when not -1, is
    // given to the program as its descriptor 3. Returns the exit status, 128
    // plus the signal number when a signal ended it, kCannotRun or
    // kTimedOut.
    int run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
            int inherited = -1);

private:
    void logOutput(std::string& pending, bool all);

    common::ILogger& logger_;
    std::string name_;
};

// Marks every descriptor above 2 that the process holds close-on-exec, so
// that no program it starts inherits one (files opened by libraries
// included).
void closeDescriptorsOnExec();

}  // namespace quorvane::unattended
