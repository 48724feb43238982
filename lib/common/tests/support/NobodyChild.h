#pragma once

#include <grp.h>
#include <poll.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>

#include "ChildProcess.h"

namespace testsupport {

// The attacker of a test: a forked child of the test that drops to user and
// group 65534 (nobody), or to the user given, with no other groups, runs
// `body` there and then holds on, keeping whatever it opened or locked, until
// it is released or 15 s pass. Needs a root test process.
class NobodyChild {
public:
    static constexpr uid_t kUid = 65534;

    explicit NobodyChild(const std::function<bool()>& body, uid_t uid = kUid) {
        int report[2];
        int hold[2];
        if (::pipe(report) != 0 || ::pipe(hold) != 0) {
            return;
        }
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(report[0]);
            ::close(hold[1]);
            const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(uid) == 0 &&
                                 ::setuid(uid) == 0 && ::geteuid() == uid;
            const char outcome = dropped && body() ? '1' : '0';
            if (::write(report[1], &outcome, 1) != 1) {
                ::_exit(2);
            }
            pollfd released{hold[0], POLLIN, 0};
            ::poll(&released, 1, 15000);
            ::_exit(0);
        }
        ::close(report[1]);
        ::close(hold[0]);
        report_ = report[0];
        hold_ = hold[1];
    }
    ~NobodyChild() {
        release();
        ::close(report_);
    }
    NobodyChild(const NobodyChild&) = delete;
    NobodyChild& operator=(const NobodyChild&) = delete;

    // Whether `body` ran as nobody and returned true, waiting 10 s at most.
    bool succeeded() {
        if (outcome_ == 0) {
            pollfd done{report_, POLLIN, 0};
            if (::poll(&done, 1, 10000) != 1 || ::read(report_, &outcome_, 1) != 1) {
                outcome_ = '0';
            }
        }
        return outcome_ == '1';
    }
    // Lets the child end and reaps it.
    void release() {
        if (pid_ > 0) {
            ::close(hold_);
            waitForChild(pid_, std::chrono::seconds(5));
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    int report_ = -1;
    int hold_ = -1;
    char outcome_ = 0;
};

}  // namespace testsupport
