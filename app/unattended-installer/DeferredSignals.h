#pragma once

namespace quorvane::unattended {

// The signals that would end the elevated copy and that a user can send it
// (through sudo, which passes them on): SIGHUP, SIGINT, SIGQUIT, SIGTERM,
// SIGUSR1, SIGUSR2, SIGALRM and the stop signals of a terminal.

// Holds them back for the whole process from now on; called before any
// thread is started, so that every thread inherits the mask. They stay
// pending: an install asks closingSignalPending() where it can still stop
// without changing anything, and otherwise finishes or rolls back and tells
// its outcome.
void deferClosingSignals();

// Whether one of them has arrived since.
bool closingSignalPending();

}  // namespace quorvane::unattended
