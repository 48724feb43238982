#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/logging/ILogger.h"

namespace quorvane::unattended {

// Runs a program of the install (unzip, the agent daemon) so that nothing it
// does can speak for the installer: no shell; standard input from
// /dev/null; standard output and error read into the log, line by line (a
// line longer than 64 KiB cut at the last character boundary within them,
// marked as cut, its rest dropped),
// never to the window's stream or the result line; no other descriptor of
// ours. It runs in a process group of its own, led by a keeper: a copy of
// the installer that starts the program as its child, holds nothing of the
// installer's and only waits. The keeper stays until the
// group is released or ended, and while it stays the group's id cannot
// name anyone else's processes. The group (the program and whatever it
// started that stayed in the group) is killed when the program outlasts
// its time-out (SIGTERM, then SIGKILL after a grace), when it is ended
// (endGroup, or this object goes) and when the installer ends, however it
// ends: the keeper sees the installer go and kills the group. A process
// that leaves the group (setsid, setpgid) is out of reach. Output still
// held open by a background child once the program has ended is read for
// a moment and then left; once the group is released it is read into
// /dev/null for as long as one of them holds it, so their writes go on
// succeeding.
class LoggedCommand {
public:
    static constexpr int kCannotRun = -1;
    static constexpr int kTimedOut = -2;
    // Stopped because the check said so.
    static constexpr int kStopped = -3;

    // `name` prefixes the logged lines.
    LoggedCommand(common::ILogger& logger, std::string name);
    // Ends the group.
    ~LoggedCommand();
    LoggedCommand(const LoggedCommand&) = delete;
    LoggedCommand& operator=(const LoggedCommand&) = delete;

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

    // Once run has returned: lets what the program left running in its
    // group go on after this object and the installer have gone, writing
    // its standard output and error as before.
    void release();
    // Kills what is left of the group of the last run.
    void endGroup();

private:
    // Ends the program's group: SIGTERM, SIGKILL after a grace, or SIGKILL at
    // once; true with `status` set when the program's end is known.
    bool stop(int statusPipe, int& status, bool gently);

    common::ILogger& logger_;
    std::string name_;
    std::function<bool()> check_;
    std::uint64_t fileSizeLimit_ = 0;
    // The keeper of the last run's group, and the installer's end of the
    // pipe that the keeper watches; -1 once released or ended.
    pid_t keeper_ = -1;
    int control_ = -1;
};

// Marks every descriptor above 2 that the process holds close-on-exec, so
// that no program it starts inherits one (files opened by libraries
// included).
void closeDescriptorsOnExec();

}  // namespace quorvane::unattended
