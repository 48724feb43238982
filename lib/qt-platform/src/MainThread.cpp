#include "MainThread.h"

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
}
