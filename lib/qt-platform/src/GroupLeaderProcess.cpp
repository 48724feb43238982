#include "GroupLeaderProcess.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Whether a process, or a member of a group for a negative id, has `id`;
// one we may not signal counts.
bool exists(pid_t id) {
    return ::kill(id, 0) == 0 || errno == EPERM;
}

}  // namespace

GroupLeaderProcess::GroupLeaderProcess(QObject* parent) : QProcess(parent) {
    connect(this, &QProcess::started, this, [this] {
        forgetEmptyGroups();
        if (processId() > 0) {
            groups_.push_back(static_cast<pid_t>(processId()));
        }
    });
}

bool GroupLeaderProcess::isOurs(pid_t group) const {
    if (state() != QProcess::NotRunning && processId() == group) {
        return true;
    }
    // The leader was reaped: a process under its id is a newcomer, whose
    // group may bear the id now.
    return !exists(group) && exists(-group);
}

void GroupLeaderProcess::forgetEmptyGroups() {
    groups_.erase(std::remove_if(groups_.begin(), groups_.end(),
                                 [this](pid_t group) { return !isOurs(group); }),
                  groups_.end());
}

bool GroupLeaderProcess::signalGroups(int signal) {
    forgetEmptyGroups();
    bool current = false;
    for (const pid_t group : groups_) {
        const bool sent = ::kill(-group, signal) == 0;
        if (sent && state() != QProcess::NotRunning && processId() == group) {
            current = true;
        }
    }
    return current;
}

void GroupLeaderProcess::setupChildProcess() {
    ::setpgid(0, 0);
}
