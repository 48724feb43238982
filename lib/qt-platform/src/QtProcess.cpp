#include "QtProcess.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <boost/assert.hpp>
#include <csignal>

namespace {

Q_LOGGING_CATEGORY(lcProcess, "Process")

QString fromWide(const std::wstring& text) {
    static_assert(sizeof(wchar_t) == sizeof(uint), "wide strings hold UTF-32");
    return QString::fromUcs4(reinterpret_cast<const uint*>(text.data()),
                             static_cast<int>(text.size()));
}

QStringList fromWide(const std::vector<std::wstring>& texts) {
    QStringList list;
    for (const auto& text : texts) {
        list.append(fromWide(text));
    }
    return list;
}

}  // namespace

QtProcess::QtProcess(QThread* thread, ProcessType type, const std::wstring& name,
                     const std::wstring& workingFolder, const std::vector<std::wstring>& arguments,
                     const Timings& timings)
    : process_(std::make_unique<GroupLeaderProcess>()),
      type_(type),
      name_(fromWide(name)),
      arguments_(fromWide(arguments)),
      timings_(timings),
      backOffTimer_(new QTimer(this)),
      watchdogTimer_(new QTimer(this)) {
    process_->setProgram(QDir::isAbsolutePath(name_) ? name_ : "./" + name_);
    process_->setArguments(arguments_);
    QString folder = fromWide(workingFolder);
    if (folder.isEmpty()) {
        folder = QCoreApplication::applicationDirPath();
        qCDebug(lcProcess) << "Process path is not defined, current application path is used:"
                           << folder;
    }
    process_->setWorkingDirectory(folder);
    if (type_ == Attached) {
        // Nobody reads what the child writes; kept in the QProcess it would
        // pile up for as long as the child runs.
        process_->setStandardOutputFile(QProcess::nullDevice());
        process_->setStandardErrorFile(QProcess::nullDevice());
    }

    moveToThread(thread);
    process_->moveToThread(thread);

    connect(process_.get(), &QProcess::stateChanged, this, &QtProcess::onStateChanged);
    connect(process_.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &QtProcess::onFinished);
    connect(process_.get(), &QProcess::errorOccurred, this, &QtProcess::onErrorOccurred);
    connect(backOffTimer_, &QTimer::timeout, this, &QtProcess::onKeepAliveTimer);
    connect(watchdogTimer_, &QTimer::timeout, this, &QtProcess::restartIfNotRunning);
    qCDebug(lcProcess) << "created on thread" << thread;
}

QtProcess::~QtProcess() {
    qCDebug(lcProcess) << "QProcess is destroyed";
    // Destroying a running QProcess reports the end of its child; that end
    // is no stop to restart after.
    disconnect(process_.get(), nullptr, this, nullptr);
    process_->signalGroups(SIGKILL);
    backOffTimer_->stop();
    watchdogTimer_->stop();
    process_.reset();
}

// --- the owner's calls ------------------------------------------------------

void QtProcess::post(std::function<void()> call, const char* failure) {
    if (!QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection)) {
        qCCritical(lcProcess) << failure;
    }
}

void QtProcess::start(bool waitForStart) {
    post([this] { internalStartProcess(); }, "failed to call internalStartProcess");
    if (waitForStart) {
        post([this] { process_->waitForStarted(timings_.startWaitMs); },
             "failed to call internalStartProcess");
    }
}

void QtProcess::terminate() {
    // On the Qt thread, after the starts asked for before: the QProcess and
    // the detached child's id are only used there.
    post([this] { internalTerminateProcess(); }, "failed to call internalTerminateProcess");
}

void QtProcess::kill() {
    post([this] { internalKillProcess(); }, "failed to call internalKillProcess");
}

void QtProcess::setKeepAlive(bool on) {
    keepAlive_.exchange(on);
    if (!on || type_ != Attached) {
        // A detached child is looked after by the watchdog.
        return;
    }
    post(
        [this] {
            if (keepAlive_ && process_->state() == QProcess::NotRunning) {
                process_->startInGroup(QIODevice::ReadWrite);
            }
        },
        "failed to call internalStartProcess");
}

// --- on the Qt thread -------------------------------------------------------

void QtProcess::internalStartProcess() {
    switch (type_) {
        case Attached:
            qCDebug(lcProcess) << "Start process";
            process_->startInGroup(QIODevice::ReadWrite);
            return;
        case Detached: {
            qCDebug(lcProcess) << "Start detached process";
            qint64 pid = 0;
            std::optional<ProcessIdentity> child;
            if (process_->startDetached(&pid)) {
                child = ProcessIdentity::of(pid);
            } else {
                qCCritical(lcProcess) << "Could not start process:" << process_->errorString()
                                      << "(" << process_->error() << ")";
            }
            detachedChild_ = child;
            watchdogTimer_->start(timings_.watchdogMs);
            return;
        }
    }
    BOOST_ASSERT_MSG(false, "Not supported IProcess::ProcessType");
}

void QtProcess::internalTerminateProcess() {
    switch (type_) {
        case Attached:
            qCDebug(lcProcess) << "Terminating attached process";
            if (!process_->signalGroups(SIGTERM)) {
                process_->terminate();
            }
            return;
        case Detached:
            qCDebug(lcProcess) << "Terminating detached process";
            // Only the child of a successful start is signalled, and only
            // while its id is still its own.
            if (!detachedChild_) {
                qCWarning(lcProcess) << name_ << "has no detached process to terminate";
            } else if (const pid_t group = ::getpgid(detachedChild_->pid());
                       group > 1 && group != ::getpgrp() && detachedChild_->isRunning()) {
                ::kill(-group, SIGTERM);
            } else if (!detachedChild_->signal(SIGTERM)) {
                qCWarning(lcProcess)
                    << name_ << "detached process" << detachedChild_->pid() << "is not running";
            }
            return;
    }
    BOOST_ASSERT_MSG(false, "Not supported IProcess::ProcessType");
}

void QtProcess::internalKillProcess() {
    qCDebug(lcProcess) << "Kill process";
    process_->signalGroups(SIGKILL);
    process_->kill();
}

void QtProcess::postRestart() {
    post(
        [this] {
            if (keepAlive_) {
                internalStartProcess();
            }
        },
        "failed to call internalStartProcess");
}

void QtProcess::onStateChanged(QProcess::ProcessState state) {
    qCInfo(lcProcess) << name_ << " has changed its state to" << state;
    if (state != QProcess::NotRunning || !keepAlive_) {
        return;
    }
    if (restartWindow_.isValid()) {
        if (restartWindow_.hasExpired(timings_.restartWindowMs)) {
            restartCount_.exchange(0);
            restartWindow_.invalidate();
        }
    } else {
        qCDebug(lcProcess) << "Start measuring time between restarts.";
        restartWindow_.start();
    }
    if (restartCount_.fetch_add(1) < timings_.restartsPerWindow) {
        postRestart();
        return;
    }
    qCInfo(lcProcess) << name_ << "was stopped unexpectedly for" << timings_.restartsPerWindow
                      << " times, do not start it again for" << timings_.backOffMs << "ms.";
    if (!backOffTimer_->isActive()) {
        backOffTimer_->start(timings_.backOffMs);
    }
}

void QtProcess::onFinished(int exitCode, QProcess::ExitStatus status) {
    if (status == QProcess::NormalExit && exitCode == 0) {
        qCDebug(lcProcess) << name_ << "process stopped by itself.";
    } else {
        qCDebug(lcProcess) << name_ << "process stopped unexpectedly, restart it.";
    }
}

void QtProcess::onErrorOccurred(QProcess::ProcessError error) {
    qCCritical(lcProcess) << "Error occured with process:" << name_ << ", error:" << error << "-"
                          << process_->errorString();
}

void QtProcess::onKeepAliveTimer() {
    qCInfo(lcProcess) << "Keep" << name_ << "process alive again.";
    restartCount_.exchange(0);
    restartWindow_.invalidate();
    backOffTimer_->stop();
    // Keep-alive turned off during the pause leaves the child stopped.
    postRestart();
}

void QtProcess::restartIfNotRunning() {
    if (detachedChild_ && detachedChild_->isRunning()) {
        return;
    }
    qCCritical(lcProcess) << name_ << "is not running, restart it.";
    start(false);
}
