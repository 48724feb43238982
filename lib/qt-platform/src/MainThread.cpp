#include "MainThread.h"

#include <QElapsedTimer>

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
    QElapsedTimer clock;
    clock.start();
    while (!stopped.load()) {
        if (clock.elapsed() >= milliseconds) {
            break;
        }
        QThread::msleep(10);
    }
    if (stopped.load()) {
        return true;
    }
    qCWarning(lcMainThread) << "main loop didn't stop in" << milliseconds
                            << "ms, and had to be terminated";
    return false;
}
