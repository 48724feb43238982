#include "ProcessIdentity.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct ProcessStatus {
    char state = '?';
    unsigned long long startTime = 0;
};

// The state and the start time (clock ticks after boot) from
// "/proc/<pid>/stat"; nothing when there is no such process.
std::optional<ProcessStatus> readStatus(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line)) {
        return std::nullopt;
    }
    // The command name in parentheses may itself hold blanks and
    // parentheses: the fields that follow begin after the last ')'.
    const auto nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(nameEnd + 1));
    ProcessStatus status;
    fields >> status.state;
    // The start time is the 22nd field; the state is the 3rd.
    std::string skipped;
    for (int field = 4; field < 22 && fields; ++field) {
        fields >> skipped;
    }
    fields >> status.startTime;
    if (!fields) {
        return std::nullopt;
    }
    return status;
}

// Through the system calls themselves: the C library's declarations are not
// usable from C++ everywhere.
int openProcess(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int sendSignal(int process, int signal) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, process, signal, nullptr, 0));
}

}  // namespace

std::optional<ProcessIdentity> ProcessIdentity::of(long long pid) {
    if (pid <= 0 || pid > INT_MAX) {
        return std::nullopt;
    }
    const auto status = readStatus(static_cast<pid_t>(pid));
    if (!status) {
        return std::nullopt;
    }
    return ProcessIdentity(static_cast<pid_t>(pid), status->startTime);
}

bool ProcessIdentity::isRunning() const {
    // Only "no such process" tells that it is gone: a process of another
    // user refuses the probe (EPERM) and runs all the same.
    if (::kill(pid_, 0) != 0 && errno == ESRCH) {
        return false;
    }
    const auto status = readStatus(pid_);
    return status && status->startTime == startTime_ && status->state != 'Z' &&
           status->state != 'X';
}

bool ProcessIdentity::signal(int signal) const {
    // The descriptor holds on to the process that has the id now, so that
    // the one checked is the one signalled even if the id is reused between.
    const int process = openProcess(pid_);
    if (process < 0) {
        return errno == ENOSYS && isRunning() && ::kill(pid_, signal) == 0;
    }
    const bool sent = isRunning() && sendSignal(process, signal) == 0;
    ::close(process);
    return sent;
}
