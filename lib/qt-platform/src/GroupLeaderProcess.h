#pragma once

#include <sys/types.h>

#include <QProcess>
#include <vector>

// A QProcess whose child runs in a process group of its own, so that the
// child and everything it starts can be signalled together: nothing it leaves
// behind is adopted by init when it is stopped.
//
// The group is led by a keeper: a child of ours made for each start, which
// ends at once and is left unreaped. While its remains stay, the kernel hands
// its id to no other process, group or session, so the group's id reaches only
// the child, what it started and what a process of our own session moves into
// the group: never a process that another user started in a session of its
// own.
//
// The groups of earlier children are kept too: a child that ended by itself
// may have left descendants in its group. Such a group is signalled for as long
// as it has members besides its keeper (ended ones not counted); once it is
// found without, its keeper is reaped and the group forgotten for good. The
// groups are looked at whenever a child ends or fails to start, at each start
// and before and after each signal; a group sent SIGKILL is forgotten at once,
// as nothing can be in it any more. A descendant that leaves the group
// (setsid, setpgid) is out of reach.
//
// The program must not reap children it did not start (a wait for any child,
// SIGCHLD ignored): a group whose keeper is found reaped elsewhere is forgotten
// unsignalled. When no keeper can be made, the child leads its own group, which
// is signalled only while the child runs.
class GroupLeaderProcess : public QProcess {
    Q_OBJECT

public:
    explicit GroupLeaderProcess(QObject* parent = nullptr);
    // Reaps the keepers; what still runs in their groups is not signalled.
    ~GroupLeaderProcess() override;

    // QProcess::start, the child in a new group.
    void startInGroup(QIODevice::OpenMode mode);

    // Sends `signal` to the running child's group and to every remembered
    // group that still has members, and then reaps the keepers of those left
    // without. True when the running child's group was signalled; false when
    // no child runs or its group could not be.
    bool signalGroups(int signal);

protected:
    // In the child, between fork and exec.
    void setupChildProcess() override;

private:
    // The group of the running child; 0 when none runs or it is in no group
    // of its own.
    pid_t runningGroup() const;
    // Reaps the keepers of groups that have no other member, and forgets them
    // and those whose keeper is gone.
    void forgetEmptyGroups();

    // The keepers (the groups' ids) of the children started, oldest first.
    std::vector<pid_t> groups_;
    // The group that the child of the last start was to join; 0 for none.
    pid_t joining_ = 0;
};
