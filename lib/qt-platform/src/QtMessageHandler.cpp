#include "QtMessageHandler.h"

#include <QString>
#include <atomic>

#include "QtStrings.h"
#include "common/logging/ILogger.h"

namespace {

std::atomic<common::ILogger*> messageLogger{nullptr};
std::atomic<unsigned> threadStartFailures{0};

}  // namespace

void qtMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QLatin1String("QThread::start: Thread creation error"))) {
        threadStartFailures.fetch_add(1);
    }
    common::ILogger* logger = messageLogger.load();
    if (logger == nullptr) {
        return;
    }
    common::LogLevel level;
    switch (type) {
        case QtDebugMsg:
            level = common::loglevel::debug;
            break;
        case QtInfoMsg:
            level = common::loglevel::info;
            break;
        case QtWarningMsg:
            level = common::loglevel::warn;
            break;
        case QtCriticalMsg:
            level = common::loglevel::error;
            break;
        case QtFatalMsg:
            level = common::loglevel::critical;
            break;
        default:
            return;
    }
    std::string text = qStringToStdString(message);
    if (context.category != nullptr) {
        text = std::string("[ ") + context.category + " ] " + text;
    }
    logger->log(level, text);
}

unsigned qtThreadStartFailures() {
    return threadStartFailures.load();
}

void installQtMessageHandler() {
    qInstallMessageHandler(qtMessageHandler);
}

void setQtMessageLogger(common::ILogger* logger) {
    messageLogger.store(logger);
}

void clearQtMessageLogger(common::ILogger* logger) {
    messageLogger.compare_exchange_strong(logger, nullptr);
}
