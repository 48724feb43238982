#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
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
// is read for a moment and then left. The program gets SIGKILL when the
// installer ends, however it ends (its parent-death signal).
class LoggedCommand {
public:
    static constexpr int kCannotRun = -1;
    static constexpr int kTimedOut = -2;
    // Stopped because the check said so.
    static constexpr int kStopped = -3;

    // `name` prefixes the logged lines.
    LoggedCommand(common::ILogger& logger, std::string name);

    // Runs argv (argv[0] the program's path). `inherited`, when not -1, is
    // given to the program as its descriptor 3. Returns the exit status, 128
    // plus the signal number when a signal ended it, kCannotRun or
    // kTimedOut.
    int run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
            int inherited = -1);

    // While the program runs, `check` is asked every few tens of
    // milliseconds whether it may go on; once it says no the program's group
    // is killed and run returns kStopped.
    void setCheck(std::function<bool()> check) { check_ = std::move(check); }
    // The largest file the program may write (its RLIMIT_FSIZE).
    void setFileSizeLimit(std::uint64_t bytes) { fileSizeLimit_ = bytes; }

private:
    void logOutput(std::string& pending, bool all);
    // Ends the program's group: SIGTERM, SIGKILL after a grace, or SIGKILL at
    // once; true with `status` set when the program was reaped.
    bool stop(pid_t pid, int& status, bool gently);

    common::ILogger& logger_;
    std::string name_;
    std::function<bool()> check_;
    std::uint64_t fileSizeLimit_ = 0;
};

// Marks every descriptor above 2 that the process holds close-on-exec, so
// that no program it starts inherits one (files opened by libraries
// included).
void closeDescriptorsOnExec();

}  // namespace quorvane::unattended
