#include "DeferredSignals.h"

#include <signal.h>

#include <initializer_list>

namespace quorvane::unattended {

namespace {

sigset_t closingSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGTSTP,
                             SIGTTIN, SIGTTOU}) {
        sigaddset(&set, signal);
    }
    return set;
}

}  // namespace

void deferClosingSignals() {
    const sigset_t set = closingSignals();
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
}

bool closingSignalPending() {
    const sigset_t set = closingSignals();
    sigset_t pending;
    sigemptyset(&pending);
    if (::sigpending(&pending) != 0) {
        return false;
    }
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&set, signal) == 1 && sigismember(&pending, signal) == 1) {
            return true;
        }
    }
    return false;
}

}  // namespace quorvane::unattended
