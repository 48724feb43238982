#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "ProcessIdentity.h"
#include "support/ChildProcess.h"

namespace {

using namespace std::chrono_literals;

// A child that runs `sleep` until it is killed, or one that has ended and is
// not reaped yet (a zombie).
pid_t forkChild(bool ended) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!ended) {
            ::execl("/bin/sleep", "sleep", "30", nullptr);
        }
        ::_exit(0);
    }
    return pid;
}

bool isZombie(pid_t pid) {
    const auto stat = testsupport::readFile("/proc/" + std::to_string(pid) + "/stat");
    return stat.find(") Z ") != std::string::npos;
}

TEST(ProcessIdentityTest, OnlyTheVeryProcessThatWasSeenRunsAndIsSignalled) {
    const pid_t running = forkChild(false);
    const pid_t zombie = forkChild(true);
    ASSERT_GT(running, 0);
    ASSERT_GT(zombie, 0);
    for (int i = 0; i < 500 && !isZombie(zombie); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    const auto seen = ProcessIdentity::of(running);
    const auto ended = ProcessIdentity::of(zombie);
    ASSERT_TRUE(seen && ended);

    struct Case {
        const char* what;
        ProcessIdentity identity;
        bool runs;
    };
    const Case cases[] = {
        {"the child as seen", *seen, true},
        {"another process under the same id", ProcessIdentity(running, 1), false},
        {"an ended child not yet reaped", *ended, false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        EXPECT_EQ(test.runs, test.identity.isRunning());
        // Signal 0 tells whether a signal would have been sent.
        EXPECT_EQ(test.runs, test.identity.signal(0));
    }

    EXPECT_TRUE(seen->signal(SIGKILL));
    ::waitpid(running, nullptr, 0);
    ::waitpid(zombie, nullptr, 0);
    EXPECT_FALSE(seen->isRunning());
    for (const long long pid : {0LL, -1LL, static_cast<long long>(running)}) {
        EXPECT_FALSE(ProcessIdentity::of(pid)) << pid;
    }
}

TEST(ProcessIdentityTest, AProcessThatRefusesOurSignalsStillRuns) {
    const pid_t parent = ::getpid();
    const auto result = testsupport::runInChild([parent] {
        // As another user the probe of the test process is refused.
        if (::geteuid() == 0 && ::setuid(65534) != 0) {
            return 2;
        }
        const auto identity = ProcessIdentity::of(parent);
        return identity && identity->isRunning() ? 0 : 1;
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(0, result.exitCode);
}

}  // namespace
