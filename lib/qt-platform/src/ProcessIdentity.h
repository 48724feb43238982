#pragma once

#include <sys/types.h>

#include <optional>

// A process as it was when it was first seen: its id together with its start
// time, so that a later process that is given the same id is never taken for
// it, neither when probing nor when signalling. Used to watch children that
// are not ours to wait for (detached ones), whose ended remains may linger as
// zombies.
class ProcessIdentity {
public:
    // The process that has the id `pid` now; nothing for an id that is not a
    // single process (0 and negative ids address process groups) or that no
    // process has.
    static std::optional<ProcessIdentity> of(long long pid);

    ProcessIdentity(pid_t pid, unsigned long long startTime) : pid_(pid), startTime_(startTime) {}

    pid_t pid() const { return pid_; }

    // Whether this very process still runs. A zombie has ended; a process
    // that exists but may not be signalled by us runs.
    bool isRunning() const;

    // Sends `signal` to this process; false when it has ended, its id now
    // belongs to another process, or the signal could not be sent.
    bool signal(int signal) const;

private:
    pid_t pid_;
    unsigned long long startTime_;
};
