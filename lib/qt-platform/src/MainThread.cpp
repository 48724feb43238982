#include "MainThread.h"

#include <QDeadlineTimer>
#include <algorithm>

#include "LoggingCategories.h"

MainThread::MainThread() : QThread(nullptr) {
    qCDebug(lcMainThread) << "created";
}

MainThread::~MainThread() {
    qCDebug(lcMainThread) << "destroyed";
}

void MainThread::run() {
    qCDebug(lcMainThread) << "starting main loop on thread:" << QThread::currentThreadId();
    const int result = exec();
    qCDebug(lcMainThread) << "main loop finished with result" << result;
    stopped.exchange(true);
}

bool MainThread::waitForStopped(int milliseconds) {
    qCDebug(lcMainThread) << "waiting to main loop to stop";
    // The flag alone would be set before the thread has finished: QThread's
    // own wait also covers the deferred deletions after the loop. A thread
    // that never ran or was terminated has finished without its loop
    // returning.
    if (wait(QDeadlineTimer(std::max(milliseconds, 0))) && stopped.load()) {
        return true;
    }
    qCWarning(lcMainThread) << "main loop didn't stop in" << milliseconds
                            << "ms, and had to be terminated";
    return false;
}
