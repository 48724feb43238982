#include "GroupLeaderProcess.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDebug>
#include <QLoggingCategory>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

namespace {

Q_LOGGING_CATEGORY(lcGroups, "Process")

// A child that leads a new process group and ends at once; its id names the
// group for as long as it is not reaped. 0 when none could be made.
pid_t makeKeeper() {
    const pid_t keeper = ::fork();
    if (keeper == 0) {
        ::setpgid(0, 0);
        ::_exit(0);
    }
    if (keeper < 0) {
        return 0;
    }
    // Both sides set the group, so that it stands whichever runs first.
    ::setpgid(keeper, keeper);
    if (::getpgid(keeper) != keeper) {
        ::kill(keeper, SIGKILL);
        ::waitpid(keeper, nullptr, 0);
        return 0;
    }
    return keeper;
}

// Whether `keeper` is still our child, not reaped by anyone (it may not have
// ended yet).
bool isHeld(pid_t keeper) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(keeper), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

void reap(pid_t keeper) {
    // It ends by itself at once; the signal bounds the wait all the same.
    ::kill(keeper, SIGKILL);
    while (::waitpid(keeper, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// The process group of `pid` from "/proc/<pid>/stat"; 0 when it cannot be
// read or the process has ended (its remains hold the group's id until its
// parent reaps them, but it signals and starts nothing more).
pid_t groupOf(const char* pid) {
    std::ifstream file(std::string("/proc/") + pid + "/stat");
    std::string line;
    if (!std::getline(file, line)) {
        return 0;
    }
    // The command name in parentheses may itself hold blanks and parentheses:
    // the state, the parent and the group follow the last ')'.
    const auto nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos) {
        return 0;
    }
    char state = 0;
    long parent = 0, group = 0;
    if (std::sscanf(line.c_str() + nameEnd + 1, " %c %ld %ld", &state, &parent, &group) != 3 ||
        state == 'Z' || state == 'X') {
        return 0;
    }
    return static_cast<pid_t>(group);
}

// Those of `groups` that have a member other than their leader. A process
// that cannot be seen does not count: its group then holds the id by itself
// while it lasts, and forgetting the group signals nothing.
std::set<pid_t> groupsWithMembers(const std::vector<pid_t>& groups) {
    std::set<pid_t> found;
    DIR* folder = ::opendir("/proc");
    if (folder == nullptr) {
        return found;
    }
    while (const dirent* entry = ::readdir(folder)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0) {
            continue;
        }
        const pid_t group = groupOf(entry->d_name);
        if (group != pid && std::find(groups.begin(), groups.end(), group) != groups.end()) {
            found.insert(group);
        }
    }
    ::closedir(folder);
    return found;
}

}  // namespace

GroupLeaderProcess::GroupLeaderProcess(QObject* parent) : QProcess(parent) {
    // A child that ends, or fails to start, may leave its group empty, and
    // so may what it left behind in earlier groups.
    connect(this, &QProcess::stateChanged, this, [this](QProcess::ProcessState state) {
        if (state == QProcess::NotRunning) {
            forgetEmptyGroups();
        }
    });
}

GroupLeaderProcess::~GroupLeaderProcess() {
    // QProcess's own destruction may still report the child's end.
    disconnect(this, &QProcess::stateChanged, this, nullptr);
    for (const pid_t group : groups_) {
        if (isHeld(group)) {
            reap(group);
        }
    }
}

void GroupLeaderProcess::startInGroup(QIODevice::OpenMode mode) {
    if (state() == QProcess::NotRunning) {
        forgetEmptyGroups();
        joining_ = makeKeeper();
        if (joining_ != 0) {
            groups_.push_back(joining_);
        } else {
            qCWarning(lcGroups) << "no process group kept for" << program()
                                << "; it is signalled only while it runs";
        }
    }
    start(mode);
}

pid_t GroupLeaderProcess::runningGroup() const {
    if (state() == QProcess::NotRunning || processId() <= 0) {
        return 0;
    }
    // Unreaped, the child holds its id: its own group, when it leads one, is
    // ours as well.
    const pid_t group = ::getpgid(static_cast<pid_t>(processId()));
    return group > 0 && (group == joining_ || group == processId()) ? group : 0;
}

void GroupLeaderProcess::forgetEmptyGroups() {
    if (groups_.empty()) {
        return;
    }
    // The running child may not have joined its group yet.
    const pid_t running = state() != QProcess::NotRunning ? joining_ : 0;
    const std::set<pid_t> withMembers = groupsWithMembers(groups_);
    groups_.erase(std::remove_if(groups_.begin(), groups_.end(),
                                 [&](pid_t group) {
                                     if (!isHeld(group)) {
                                         return true;
                                     }
                                     if (group == running || withMembers.count(group) != 0) {
                                         return false;
                                     }
                                     reap(group);
                                     return true;
                                 }),
                  groups_.end());
}

bool GroupLeaderProcess::signalGroups(int signal) {
    forgetEmptyGroups();
    const pid_t running = runningGroup();
    bool current = false;
    std::vector<pid_t> ended;
    for (const pid_t group : groups_) {
        if (::kill(-group, signal) != 0) {
            continue;
        }
        if (group == running) {
            current = true;
        } else if (signal == SIGKILL) {
            // Everything in it ends, and the kernel lets none of it start
            // another process meanwhile: nothing more can be in the group.
            ended.push_back(group);
        }
    }
    for (const pid_t group : ended) {
        reap(group);
    }
    groups_.erase(std::remove_if(groups_.begin(), groups_.end(),
                                 [&](pid_t group) {
                                     return std::find(ended.begin(), ended.end(), group) !=
                                            ended.end();
                                 }),
                  groups_.end());
    forgetEmptyGroups();
    // A child in no remembered group (it leads its own, or its keeper was
    // reaped elsewhere) holds its group's id for as long as it is unreaped.
    if (running != 0 && std::find(groups_.begin(), groups_.end(), running) == groups_.end() &&
        ::kill(-running, signal) == 0) {
        current = true;
    }
    return current;
}

void GroupLeaderProcess::setupChildProcess() {
    if (joining_ == 0 || ::setpgid(0, joining_) != 0) {
        ::setpgid(0, 0);
    }
}
