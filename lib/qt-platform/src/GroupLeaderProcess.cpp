#include "GroupLeaderProcess.h"

#include <signal.h>
#include <unistd.h>

bool GroupLeaderProcess::signalGroup(int signal) {
    const qint64 leader = processId();
    if (state() == QProcess::NotRunning || leader <= 0) {
        return false;
    }
    return ::kill(-static_cast<pid_t>(leader), signal) == 0;
}

void GroupLeaderProcess::setupChildProcess() {
    ::setpgid(0, 0);
}
