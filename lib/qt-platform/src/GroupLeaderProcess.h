#pragma once

#include <sys/types.h>

#include <QProcess>

// A QProcess whose child leads a process group of its own, so that the child
// and everything it starts can be signalled together: nothing it leaves
// behind is adopted by init when it is stopped.
class GroupLeaderProcess : public QProcess {
    Q_OBJECT

public:
    using QProcess::QProcess;
    // Signals the child's whole group while the child is not yet reaped (its
    // id then still names the group); false when there is none to signal.
    bool signalGroup(int signal);

protected:
    // In the child, between fork and exec.
    void setupChildProcess() override;
};
