#include "ClosingSignals.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

namespace {

// The closing signals the process does not ignore: one ignored at the start
// (nohup's SIGHUP, SIGINT of a background job) stays ignored.
sigset_t ClosingSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaddset(&set, signal);
        }
    }
    return set;
}

// Ends the process by `signal` itself, as if nothing had taken it: the
// parent sees a death by that signal, and a shell that runs the process in
// a loop stops there as it does for any program stopped by Ctrl-C.
[[noreturn]] void EndBy(int signal) {
    ::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    // Not reached unless the signal could not be delivered.
    ::_exit(128 + signal);
}

}  // namespace

ClosingSignals::ClosingSignals(std::function<void()> cleanup) : cleanup_(std::move(cleanup)) {
    const sigset_t set = ClosingSet();
    sigset_t previous;
    if (::pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) {
        return;
    }
    signals_ = ::signalfd(-1, &set, SFD_CLOEXEC);
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    if (signals_ < 0 || stop_ < 0) {
        // The signals keep their usual effect.
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return;
    }
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        // No thread to take them (a limit of processes, say): the signals
        // keep their usual effect, and what the run leaves is not removed.
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
}

ClosingSignals::~ClosingSignals() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        while (::write(stop_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    for (const int fd : {signals_, stop_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void ClosingSignals::Run() {
    pollfd watched[2] = {{signals_, POLLIN, 0}, {stop_, POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (watched[1].revents != 0) {
            return;
        }
        signalfd_siginfo received{};
        if (watched[0].revents != 0 &&
            ::read(signals_, &received, sizeof received) == sizeof received) {
            cleanup_();
            EndBy(static_cast<int>(received.ssi_signo));
        }
    }
}
