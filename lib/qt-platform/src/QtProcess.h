#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "GroupLeaderProcess.h"
#include "IQtProcess.h"
#include "ProcessIdentity.h"

class QThread;
class QTimer;

// Runs one child program for its owner and keeps it running. The object and
// its QProcess live on the Qt thread, where every start and end, the
// notifications and the timers run; the owner's calls are posted there, in
// the order in which they are made.
//
// An attached child that stops is started again at once, up to
// `restartsPerWindow` times within `restartWindowMs` of the first counted
// stop; a further stop is followed by a pause of `backOffMs`. A detached
// child is probed every `watchdogMs` and started again when it is gone.
//
// An attached child runs in a process group of its own (GroupLeaderProcess),
// whose id no other user's process can take; terminating, killing
// and destruction signal the whole group, so that what it started ends with
// it, and the groups of earlier children that still have members, so that
// what a child left behind when it ended by itself goes too.
// Terminating a detached child signals its group too, when that is not ours.
class QtProcess : public QObject, public IQtProcess {
    Q_OBJECT

public:
    struct Timings {
        int restartWindowMs = 10000;
        int restartsPerWindow = 3;
        int backOffMs = 300000;
        int watchdogMs = 5000;
        int startWaitMs = 3000;
    };

    // `name` is the program, looked for in `workingFolder` unless it is an
    // absolute path; an empty folder stands for the application's folder.
    // Starts nothing. Owners get the default timings; tests shorten them.
    QtProcess(QThread* thread, ProcessType type, const std::wstring& name,
              const std::wstring& workingFolder, const std::vector<std::wstring>& arguments,
              const Timings& timings);
    // On the Qt thread. An attached child still running is killed with its
    // whole process group; a detached one keeps running. Nothing is
    // restarted from here on.
    ~QtProcess() override;

    void start(bool waitForStart) override;
    void terminate() override;
    void kill() override;
    void setKeepAlive(bool on) override;

private:
    // Hands `call` to the Qt thread; logs `failure` when that is not possible.
    void post(std::function<void()> call, const char* failure);

    // On the Qt thread.
    void internalStartProcess();
    void internalTerminateProcess();
    void internalKillProcess();
    void onStateChanged(QProcess::ProcessState state);
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void onErrorOccurred(QProcess::ProcessError error);
    void onKeepAliveTimer();
    void restartIfNotRunning();
    // Starts the child again when keep-alive is still on by then.
    void postRestart();

    std::unique_ptr<GroupLeaderProcess> process_;
    const ProcessType type_;
    const QString name_;
    const QStringList arguments_;
    const Timings timings_;
    std::atomic<bool> keepAlive_{true};
    std::atomic<int> restartCount_{0};
    QElapsedTimer restartWindow_;
    QTimer* backOffTimer_;
    QTimer* watchdogTimer_;
    // The detached child of the last start, none when it failed.
    std::optional<ProcessIdentity> detachedChild_;
};
