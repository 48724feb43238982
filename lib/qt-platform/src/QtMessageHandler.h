#pragma once

#include <QtGlobal>

namespace common {
class ILogger;
}

// Forwards a Qt message to the platform's logger as "[ category ] text" (the
// text alone without a category), at the level of its type: debug 1, info 2,
// warning 3, critical 4, fatal 5. Without a logger the message is dropped.
void qtMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// How many times, in the whole process so far, Qt could not start a thread
// (its warning "QThread::start: Thread creation error"): whatever was to run
// there waits for ever, and Qt tells nobody else. Counted by
// qtMessageHandler, with a logger or without.
unsigned qtThreadStartFailures();

// Makes qtMessageHandler the process's Qt message handler.
void installQtMessageHandler();

// The logger that qtMessageHandler writes to; null drops every message.
void setQtMessageLogger(common::ILogger* logger);
// Clears the logger only when it is still `logger`.
void clearQtMessageLogger(common::ILogger* logger);
