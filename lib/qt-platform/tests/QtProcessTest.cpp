#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QDir>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "support/FakeCredentialStorage.h"
#include "FakeTaskScheduler.h"
#include "ProcessIdentity.h"
#include "QtCorePlatform.h"
#include "QtCorePlatformPrivate.h"
#include "QtHandle.h"
#include "QtMessageRecorder.h"
#include "QtProcess.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;

// One start of the child script: its id, when (ms), its working folder and where its standard
// output goes.
struct Start {
    pid_t pid;
    long long ms;
    std::string folder, output;
};

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    return condition();
}

bool gone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// The child is a shell script in a temporary folder that records each start there. The test
// process adopts orphaned detached children, so that they end as its zombies whatever the
// system's init does; it reaps them and ends those still running.
class QtProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform_ = QtCorePlatform::create(scheduler_, &storage_, "process-test");
        recorder_.emplace();  // after the platform's own message handler
        ::prctl(PR_GET_CHILD_SUBREAPER, &wasSubreaper_);
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        writeScript("exec sleep 30");
    }
    void TearDown() override {
        EXPECT_TRUE(waitFor([&] { return platform_->internals().objects().liveCount() == 0; }));
        forgetStarts();
        for (const pid_t pid : started_) {
            if (::waitpid(pid, nullptr, WNOHANG) == 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, wasSubreaper_);
        recorder_.reset();
        platform_.reset();
    }

    // Writes "child.sh", which records its start and then runs `tail`. A record is three lines,
    // so that folders with blanks are read back whole.
    void writeScript(const std::string& tail) {
        std::ofstream(dir_.file("child.sh"))
            << "#!/bin/sh\nprintf '%s\\n' \"$$ $(date +%s%3N)\" \"$(pwd -P)\" "
               "\"$(readlink /proc/$$/fd/1)\" >> '"
            << dir_.file("starts") << "'\n"
            << tail << "\n";
        ::chmod(dir_.file("child.sh").c_str(), 0700);
    }
    QtHandle<IQtProcess> controller(IQtProcess::ProcessType type, const QtProcess::Timings& timings,
                                    const std::wstring& program = L"child.sh") {
        auto& d = platform_->internals();
        return makeQtHandle<IQtProcess, QtProcess>(
            d.objects(), new QtProcess(&d, type, program, folder_, {}, timings));
    }
    std::vector<Start> starts() const {
        std::vector<Start> all;
        std::istringstream lines(testsupport::readFile(dir_.file("starts")));
        for (Start start{}; lines >> start.pid >> start.ms && lines.ignore() &&
                            std::getline(lines, start.folder) && std::getline(lines, start.output);) {
            all.push_back(start);
        }
        return all;
    }
    bool waitForStarts(std::size_t count, std::chrono::milliseconds timeout = 10s) const {
        return waitFor([&] { return starts().size() >= count; }, timeout);
    }
    // Empties the record of starts and of messages, keeping the children's ids for the end.
    void forgetStarts() {
        for (const auto& start : starts()) started_.push_back(start.pid);
        std::remove(dir_.file("starts").c_str());
        recorder_->clear();
    }
    // The ids of the processes the script wrote to "descendants", in order.
    std::vector<pid_t> descendants() const {
        std::vector<pid_t> pids;
        for (const auto& line : testsupport::splitLines(testsupport::readFile(dir_.file("descendants")))) {
            pids.push_back(std::stoi(line));
        }
        return pids;
    }
    // Messages of the category "Process" that contain `part`.
    int logged(const std::string& part) const { return recorder_->count(part, "Process"); }

    FakeTaskScheduler scheduler_;
    FakeCredentialStorage storage_;
    std::unique_ptr<QtCorePlatform> platform_;
    std::optional<QtMessageRecorder> recorder_;
    testsupport::TempDir dir_{"quorvane-process"};
    const std::wstring folder_ = QString::fromStdString(dir_.path()).toStdWString();
    int wasSubreaper_ = 0;
    std::vector<pid_t> started_;
};

TEST_F(QtProcessTest, AnAttachedChildIsRestartedAtOnceUntilItsRestartsInTheWindowAreUsedUp) {
    // Four stops at once: three restarts, the back-off, a new series; stops further apart than
    // the window never use the restarts up.
    const std::tuple<const char*, QtProcess::Timings, std::size_t> cases[] = {
        {"exit 0", {5000, 3, 1000, 5000, 3000}, 8},
        {"sleep 0.3", {150, 3, 60000, 5000, 3000}, 6},
    };
    for (const auto& [tail, timings, count] : cases) {
        SCOPED_TRACE(tail);
        forgetStarts();
        writeScript(tail);
        auto child = controller(IQtProcess::Attached, timings);
        child->start(false);
        ASSERT_TRUE(waitForStarts(count, 15s)) << starts().size();
        if (count == 6) {
            EXPECT_EQ(0, logged("was stopped unexpectedly for"));
            continue;
        }
        ASSERT_TRUE(waitFor([&] { return logged("was stopped unexpectedly for") == 2; }));
        const auto seen = starts();
        EXPECT_LT(seen[3].ms - seen[0].ms, 900) << "three restarts at once";
        EXPECT_GE(seen[4].ms - seen[3].ms, 900) << "then the back-off";
        EXPECT_EQ(1, logged("Keep \"child.sh\" process alive again."));
        // Keep-alive turned off during the second back-off: it ends in nothing.
        child->setKeepAlive(false);
        std::this_thread::sleep_for(1800ms);
        EXPECT_EQ(8u, starts().size());
    }
}

TEST_F(QtProcessTest, KeepAliveDecidesWhetherATerminatedAttachedChildComesBack) {
    for (const bool keepAlive : {false, true}) {
        SCOPED_TRACE(keepAlive);
        forgetStarts();
        auto child = controller(IQtProcess::Attached, {});
        child->start(true);
        ASSERT_TRUE(waitForStarts(1));
        const pid_t first = starts()[0].pid;
        child->setKeepAlive(keepAlive);
        child->terminate();
        if (!keepAlive) {
            ASSERT_TRUE(waitFor([&] { return gone(first); }));
            std::this_thread::sleep_for(500ms);
            EXPECT_EQ(1u, starts().size());
            // Turned on again from this thread, it starts the child on the Qt thread.
            child->setKeepAlive(true);
        }
        ASSERT_TRUE(waitForStarts(2));
        EXPECT_NE(first, starts()[1].pid);
        EXPECT_TRUE(gone(first));
    }
}

TEST_F(QtProcessTest, ADetachedChildThatIsGoneIsStartedAgainByTheWatchdog) {
    for (const bool fromOutside : {true, false}) {
        SCOPED_TRACE(fromOutside ? "killed from outside" : "terminated");
        forgetStarts();
        auto child = controller(IQtProcess::Detached, {10000, 3, 300000, 200, 3000});
        child->start(true);
        ASSERT_TRUE(waitForStarts(1));
        const pid_t first = starts()[0].pid;
        // Either way the child stays behind as a zombie until it is reaped.
        fromOutside ? void(::kill(first, SIGKILL)) : child->terminate();
        ASSERT_TRUE(waitForStarts(2, 5s));
        EXPECT_NE(first, starts()[1].pid);
        EXPECT_EQ(1, logged("\"child.sh\" is not running, restart it."));
        EXPECT_EQ(first, ::waitpid(first, nullptr, WNOHANG));
    }
}

TEST_F(QtProcessTest, TerminateSignalsNothingWithoutAStartedDetachedChild) {
    static std::atomic<int> terminations{0};
    struct sigaction counting = {}, previous = {};
    counting.sa_handler = [](int) { ++terminations; };
    ::sigaction(SIGTERM, &counting, &previous);
    auto neverStarted = controller(IQtProcess::Detached, {});
    auto failed = controller(IQtProcess::Detached, {}, L"absent.sh");
    failed->start(false);
    EXPECT_TRUE(waitFor([&] { return logged("Could not start process:") == 1; }));
    neverStarted->terminate();
    failed->terminate();
    EXPECT_TRUE(waitFor([&] { return logged("has no detached process to terminate") == 2; }));
    ::sigaction(SIGTERM, &previous, nullptr);
    EXPECT_EQ(0, terminations.load());
}

TEST_F(QtProcessTest, DestroyingTheControllerRestartsNothing) {
    for (const auto type : {IQtProcess::Attached, IQtProcess::Detached}) {
        SCOPED_TRACE(type);
        forgetStarts();
        auto child = controller(type, {10000, 3, 300000, 100, 3000});
        child->start(true);
        ASSERT_TRUE(waitForStarts(1));
        const pid_t pid = starts()[0].pid;
        child.reset();
        ASSERT_TRUE(waitFor([&] { return platform_->internals().objects().liveCount() == 0; }));
        // An attached child ends with its controller; a detached one runs on.
        EXPECT_EQ(type == IQtProcess::Attached, gone(pid));
        ::kill(pid, SIGKILL);
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(1u, starts().size());
    }
}

// Reaps `pid` when it is an ended child of ours (the test adopts orphans);
// true once it is gone.
bool ended(pid_t pid) {
    return ::waitpid(pid, nullptr, WNOHANG) == pid || gone(pid);
}

// The ways a controller's child is stopped from outside.
const struct {
    const char* how;
    std::function<void(QtHandle<IQtProcess>&)> stop;
} kStopWays[] = {
    {"terminate", [](QtHandle<IQtProcess>& child) { child->terminate(); }},
    {"kill", [](QtHandle<IQtProcess>& child) { child->kill(); }},
    {"destroy", [](QtHandle<IQtProcess>& child) { child.reset(); }},
};

TEST_F(QtProcessTest, StoppingKillingOrDestroyingAnAttachedChildEndsWhatItStarted) {
    writeScript("sleep 300 & echo $! >> '" + dir_.file("descendants") + "'\n" +
                "sh -c 'sleep 300' & echo $! >> '" + dir_.file("descendants") + "'\nwait");
    for (const auto& way : kStopWays) {
        SCOPED_TRACE(way.how);
        forgetStarts();
        std::remove(dir_.file("descendants").c_str());
        auto child = controller(IQtProcess::Attached, {10000, 3, 300000, 5000, 3000});
        child->setKeepAlive(false);
        child->start(true);
        ASSERT_TRUE(waitForStarts(1));
        ASSERT_TRUE(waitFor([&] { return descendants().size() == 2; }));
        std::vector<pid_t> pids = descendants();
        pids.insert(pids.begin(), starts()[0].pid);
        way.stop(child);
        for (const pid_t pid : pids) {
            EXPECT_TRUE(waitFor([pid] { return ended(pid); }, 5s)) << "process " << pid << " runs on";
            ::kill(pid, SIGKILL);
        }
        child.reset();
    }
}

TEST_F(QtProcessTest, WhatChildrenThatEndedByThemselvesLeftBehindEndsWithTheController) {
    // Each start leaves a descendant in its group and ends: four starts, then the back-off.
    writeScript("sleep 300 & echo $! >> '" + dir_.file("descendants") + "'\nexit 0");
    for (const auto& way : kStopWays) {
        SCOPED_TRACE(way.how);
        forgetStarts();
        std::remove(dir_.file("descendants").c_str());
        auto child = controller(IQtProcess::Attached, {10000, 3, 300000, 5000, 3000});
        child->start(false);
        ASSERT_TRUE(waitFor([&] { return logged("was stopped unexpectedly for") == 1; }));
        const std::vector<pid_t> left = descendants();
        ASSERT_EQ(4u, left.size());
        for (const auto& start : starts()) {
            EXPECT_TRUE(gone(start.pid)) << "child " << start.pid;
        }
        way.stop(child);
        for (const pid_t pid : left) {
            EXPECT_TRUE(waitFor([pid] { return ended(pid); }, 5s)) << "descendant " << pid << " runs on";
            ::kill(pid, SIGKILL);
        }
        child.reset();
    }
}

// Starts, as user nobody in a session of its own, a process under the id `pid` when that id is
// free; nothing when another process takes the id first.
std::optional<pid_t> strangerUnder(pid_t pid) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        std::ofstream("/proc/sys/kernel/ns_last_pid") << pid - 1 << std::flush;
        const pid_t stranger = ::fork();
        if (stranger == 0) {
            if (::getpid() != pid || ::setsid() != pid || ::setgid(65534) != 0 ||
                ::setuid(65534) != 0) {
                ::_exit(1);
            }
            ::execl("/bin/sleep", "sleep", "30", nullptr);
            ::_exit(1);
        }
        if (stranger == pid) {
            if (waitFor([pid] { return ::getpgid(pid) == pid; }, 5s)) return pid;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return std::nullopt;
        }
        ::waitpid(stranger, nullptr, 0);
    }
    return std::nullopt;
}

TEST_F(QtProcessTest, AGroupFoundEmptyIsNotSignalledOnceAnotherUsersProcessHoldsItsId) {
    if (::geteuid() != 0) GTEST_SKIP() << "choosing the next process id needs root";
    writeScript("sleep 300 & echo $! >> '" + dir_.file("descendants") + "'\nexit 0");
    std::remove(dir_.file("descendants").c_str());
    auto child = controller(IQtProcess::Attached, {});
    child->setKeepAlive(false);
    child->start(false);
    ASSERT_TRUE(waitFor([&] { return logged("process stopped by itself.") == 1; }));
    const pid_t group = starts()[0].pid;
    const pid_t left = descendants().at(0);
    // The descendant goes: the group is empty and its id free for anybody.
    ::kill(left, SIGKILL);
    ASSERT_TRUE(waitFor([left] { return ended(left); }));
    const auto stranger = strangerUnder(group);
    if (!stranger) GTEST_SKIP() << "another process took the id " << group << " first";
    child->terminate();
    child->kill();
    child.reset();
    ASSERT_TRUE(waitFor([&] { return platform_->internals().objects().liveCount() == 0; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(0, ::waitpid(*stranger, nullptr, WNOHANG)) << "the stranger's group was signalled";
    ::kill(*stranger, SIGKILL);
    ::waitpid(*stranger, nullptr, 0);
}

// Without a working folder the child runs in the application's, which is logged.
TEST_F(QtProcessTest, TheChildRunsInItsWorkingFolderAndItsOutputIsDiscarded) {
    const QString application = QCoreApplication::applicationDirPath();
    for (const std::wstring& folder : {std::wstring(), folder_}) {
        SCOPED_TRACE(folder.size());
        forgetStarts();
        auto child =
            folder.empty()
                ? platform_->createProcessController(IQtProcess::Attached, L"/bin/sh", L"",
                                                     {folder_ + L"/child.sh"})
                : platform_->createProcessController(IQtProcess::Attached, L"child.sh", folder, {});
        child->start(false);
        ASSERT_TRUE(waitForStarts(1));
        const QString where = folder.empty() ? application : QString::fromStdWString(folder);
        EXPECT_EQ(QDir(where).canonicalPath().toStdString(), starts()[0].folder);
        EXPECT_EQ("/dev/null", starts()[0].output);
        EXPECT_EQ(folder.empty(), logged("Process path is not defined, current application path is "
                                         "used: \"" +
                                         application.toStdString() + "\""));
        child->setKeepAlive(false);
    }
}

// Ended children left as zombies are met by the detached ones above.
TEST(ProcessIdentityTest, OnlyTheVeryProcessFirstSeenRunsAndIsSignalled) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/bin/sleep", "sleep", "30", nullptr);
        ::_exit(1);
    }
    const auto seen = ProcessIdentity::of(pid);
    ASSERT_TRUE(seen);
    // Another process under the same id: its start time differs.
    const ProcessIdentity other(pid, 1);
    EXPECT_FALSE(other.isRunning() || other.signal(SIGKILL));
    EXPECT_TRUE(seen->isRunning() && seen->signal(SIGKILL));
    ::waitpid(pid, nullptr, 0);
    EXPECT_FALSE(seen->isRunning());
    for (const long long id : {0LL, -1LL, static_cast<long long>(pid)}) {
        EXPECT_FALSE(ProcessIdentity::of(id)) << id;
    }
    // As another user the probe of this process is refused, yet it runs.
    const pid_t parent = ::getpid();
    EXPECT_EQ(0, testsupport::runInChild([parent] {
                     if (::geteuid() == 0 && ::setuid(65534) != 0) return 2;
                     const auto identity = ProcessIdentity::of(parent);
                     return identity && identity->isRunning() ? 0 : 1;
                 }).exitCode);
}

}  // namespace
