#pragma once

#include <sys/types.h>

#include <QProcess>
#include <vector>

// A QProcess whose child leads a process group of its own, so that the child
// and everything it starts can be signalled together: nothing it leaves
// behind is adopted by init when it is stopped.
//
// The groups of earlier children are remembered too: a child that ended by
// itself may have left descendants in its group, which the group's id still
// reaches. That id cannot name another group while the group has a member
// (the kernel hands a process id out again only once no process, group or
// session uses it), so it is signalled for as long as members remain and
// forgotten for good once the group is found empty, or once a new process
// holds the id. A descendant that leaves the group (setsid, setpgid) is out
// of reach.
class GroupLeaderProcess : public QProcess {
    Q_OBJECT

public:
    explicit GroupLeaderProcess(QObject* parent = nullptr);

    // Sends `signal` to the running child's group and to every remembered
    // group that still has members. True when the running child's group was
    // signalled; false when no child runs or its group could not be.
    bool signalGroups(int signal);

protected:
    // In the child, between fork and exec.
    void setupChildProcess() override;

private:
    // Whether `group` may still be signalled as one of ours: it is the
    // running child's, or its leader has ended and no new process has its
    // id, and it has members.
    bool isOurs(pid_t group) const;
    void forgetEmptyGroups();

    // The group ids of the children started, oldest first.
    std::vector<pid_t> groups_;
};
