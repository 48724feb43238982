#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>
#include <QThread>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
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
#include "support/OwnNamespaces.h"
#include "support/ProcessState.h"
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
        if (!gone(pid)) ::kill(pid, SIGKILL);  // a gone one's id may be another's by now
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(1u, starts().size());
    }
}

// Reaps `pid` when it is an ended child of ours (the test adopts orphans);
// true once it is gone.
bool ended(pid_t pid) {
    return ::waitpid(pid, nullptr, WNOHANG) == pid || gone(pid);
}

// Whether the controller's own child `pid` has ended, left for Qt to reap: Qt learns of the end
// only by reaping it.
bool exited(pid_t pid) {
    siginfo_t info{};
    return (::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) ||
           gone(pid);
}

// Waits for `pid` to end (`child`: the controller's own, else one the test adopted); one that
// runs on is killed while it is still known to be that process.
bool waitForEnd(pid_t pid, bool child = false) {
    if (waitFor([pid, child] { return child ? exited(pid) : ended(pid); }, 5s)) return true;
    ::kill(pid, SIGKILL);
    return false;
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
        const pid_t started = starts()[0].pid;
        way.stop(child);
        EXPECT_TRUE(waitForEnd(started, true)) << "child " << started << " runs on";
        for (const pid_t pid : descendants()) {
            EXPECT_TRUE(waitForEnd(pid)) << "descendant " << pid << " runs on";
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
            EXPECT_TRUE(waitForEnd(pid)) << "descendant " << pid << " runs on";
        }
        child.reset();
    }
}

// --- another session under the id of an emptied group --------------------------------------

// Runs `scenario` as the first process of a namespace of process ids of its own (with its own
// /proc, and a user namespace of its own when not root), where the next id can be chosen and
// nobody else takes it. Gives its exit code and what it wrote to the descriptor it is handed;
// 77 and the reason when no such namespace can be made.
std::pair<int, std::string> runInPidNamespace(const std::function<int(int)>& scenario) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC | O_NONBLOCK) != 0) return {99, "no pipe"};
    const auto result = testsupport::runInChild(
        [&] {
            const auto say = [&](const std::string& text) {
                return ::write(report[1], text.data(), text.size()) >= 0;
            };
            const auto refuse = [&](const std::string& what) {
                say(what);
                return 77;
            };
            std::string reason;
            if (!testsupport::enterOwnNamespaces(CLONE_NEWNS | CLONE_NEWPID, reason)) {
                return refuse(reason);
            }
            const pid_t first = ::fork();
            if (first == 0) {
                if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) !=
                    0) {
                    ::_exit(refuse(std::string("no /proc of its own: ") + std::strerror(errno)));
                }
                int code = 98;
                try {
                    code = scenario(report[1]);
                } catch (const std::exception& error) {
                    say(error.what());
                }
                std::fflush(nullptr);
                ::_exit(code);
            }
            const auto inner = testsupport::waitForChild(first, 100s);
            return inner.exited ? inner.exitCode : 97;
        },
        110s);
    ::close(report[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    ::close(report[0]);
    return {result.exited ? result.exitCode : 96, text};
}

// In such a namespace: makes, as another user would (as user nobody where it can), a process
// group under the id `group` in a session of its own: the process given that id calls setsid
// and starts a member, and then ends unless `leaderStays`. Gives the processes of the group,
// or nothing when the id is not free.
std::optional<std::vector<pid_t>> groupOfAStrangerUnder(pid_t group, bool leaderStays) {
    std::ofstream("/proc/sys/kernel/ns_last_pid") << group - 1 << std::flush;
    int ids[2];
    if (::pipe(ids) != 0) return std::nullopt;
    const pid_t leader = ::fork();
    if (leader == 0) {
        ::close(ids[0]);
        if (::getpid() != group || ::setsid() != group) ::_exit(1);
        // In a user namespace of its own only the user itself is mapped: it stays.
        if (::setgid(65534) == 0 && ::setuid(65534) != 0) ::_exit(1);
        const pid_t member = ::fork();
        if (member == 0) {
            ::execl("/bin/sleep", "sleep", "60", nullptr);
            ::_exit(1);
        }
        if (::write(ids[1], &member, sizeof member) != sizeof member) ::_exit(1);
        if (leaderStays) ::execl("/bin/sleep", "sleep", "60", nullptr);
        ::_exit(0);
    }
    ::close(ids[1]);
    pid_t member = 0;
    pollfd told{ids[0], POLLIN, 0};
    const bool planted = ::poll(&told, 1, 10000) == 1 &&
                         ::read(ids[0], &member, sizeof member) == sizeof member;
    ::close(ids[0]);
    if (!planted || !leaderStays) {
        testsupport::waitForChild(leader, 10s);
    }
    if (!planted) return std::nullopt;
    // Once its leader has ended the group lives on in its member, under the same id.
    if (leaderStays) return std::vector<pid_t>{leader, member};
    return std::vector<pid_t>{member};
}

// Waits until the Qt thread has run what was posted to it before.
bool drain(QThread& thread) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto* marker = new QObject;
    marker->moveToThread(&thread);
    QMetaObject::invokeMethod(marker, [done, marker] { *done = true; delete marker; },
                              Qt::QueuedConnection);
    return waitFor([done] { return done->load(); });
}

// In the namespace, for each way to stop a controller and whether the stranger's leader stays:
// a child leaves a descendant in its group and ends; the descendant is killed, so the group is
// empty (but for what holds its id); then another session is given the group's id, and the
// controller is stopped that way; when it is still there, the session is given the id again (if
// it was not free before) and the controller is killed and destroyed. Its files are in `base`.
// Writes what went wrong.
int strangersScenario(int report, const std::string& base) {
    int failures = 0, planted = 0;
    const auto fail = [&](const std::string& what) {
        ++failures;
        const std::string line = what + "\n";
        if (::write(report, line.data(), line.size()) < 0) ++failures;
    };
    FakeTaskScheduler scheduler;
    FakeCredentialStorage storage;
    auto platform = QtCorePlatform::create(scheduler, &storage, "process-test");
    QtMessageRecorder recorder;
    auto& d = platform->internals();
    for (const auto& way : kStopWays) {
        for (const bool leaderStays : {false, true}) {
            const std::string row = std::string(way.how) + (leaderStays ? ", leader stays" : "");
            testsupport::TempDir dir("row", base);
            std::ofstream(dir.file("child.sh"))
                << "#!/bin/sh\ncut -d' ' -f5 /proc/$$/stat > group\nsleep 300 &\necho $! > left\n";
            ::chmod(dir.file("child.sh").c_str(), 0700);
            recorder.clear();
            auto child = makeQtHandle<IQtProcess, QtProcess>(
                d.objects(), new QtProcess(&d, IQtProcess::Attached, L"child.sh",
                                           QString::fromStdString(dir.path()).toStdWString(), {},
                                           {}));
            child->setKeepAlive(false);
            child->start(false);
            if (!waitFor([&] { return recorder.count("process stopped by itself.") == 1; })) {
                fail(row + ": the child did not end");
                continue;
            }
            const pid_t group = std::atoi(testsupport::readFile(dir.file("group")).c_str());
            const pid_t left = std::atoi(testsupport::readFile(dir.file("left")).c_str());
            if (group <= 1 || left <= 1) {
                fail(row + ": the child recorded no group or descendant");
                continue;
            }
            ::kill(left, SIGKILL);
            testsupport::waitForChild(left, 10s);
            std::vector<pid_t> strangers;
            const auto plant = [&] {
                if (const auto members = groupOfAStrangerUnder(group, leaderStays)) {
                    ++planted;
                    strangers.insert(strangers.end(), members->begin(), members->end());
                }
            };
            const auto signalled = [&](const std::string& by) {
                for (const pid_t stranger : strangers) {
                    if (waitFor([stranger] { return ended(stranger); }, 300ms)) {
                        fail(row + ": " + by + " signalled the stranger's group " +
                             std::to_string(group));
                        strangers.clear();  // ended with the namespace
                        return;
                    }
                }
            };
            plant();
            way.stop(child);
            if (child) {
                drain(d);
            } else {
                waitFor([&] { return d.objects().liveCount() == 0; });
            }
            signalled(way.how);
            if (child) {
                if (strangers.empty()) plant();
                child->kill();
                child.reset();
                waitFor([&] { return d.objects().liveCount() == 0; });
                signalled("kill and destruction");
            }
            for (const pid_t stranger : strangers) {
                ::kill(stranger, SIGKILL);
                testsupport::waitForChild(stranger, 10s);
            }
        }
    }
    if (planted == 0) fail("no stranger's group was ever made");
    return failures == 0 ? 0 : 1;
}

// The scenario runs in a fresh copy of the test program (a death test's), which has no thread
// or lock left by the cases before it.
TEST(QtProcessGroupTest, AnotherSessionGivenTheIdOfAnEmptiedGroupIsNeverSignalled) {
    std::string reason;
    if (!testsupport::ownNamespacesWork(CLONE_NEWNS | CLONE_NEWPID, reason)) {
        GTEST_SKIP() << "the next process id cannot be chosen here: " << reason;
    }
    // The fresh copy's folders go in this one, which goes even when the copy is ended from
    // outside.
    testsupport::TempDir base("quorvane-group");
    testsupport::ScopedEnvironment environment;
    environment.set("TMPDIR", base.path());
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto inFreshCopy = [] {
        testsupport::TempDir rows("rows");
        const auto [code, text] =
            runInPidNamespace([&](int report) { return strangersScenario(report, rows.path()); });
        std::fprintf(stderr, "%s\nscenario ended: %d\n", text.c_str(), code);
        std::_Exit(code);
    };
    EXPECT_EXIT(inFreshCopy(), testing::ExitedWithCode(0), "scenario ended: 0");
}

// Whether `pid` is an ended child of ours that nobody has reaped: a keeper holding its group.
bool heldAsZombie(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Each of 20 starts leaves a process in its group; the children are ended from outside. A
// group's keeper stays while something in the group runs, and is reaped once nothing does: when a
// child ends, or when the groups are killed (what ended still unreaped either way).
TEST_F(QtProcessTest, KeepersOfGroupsLeftEmptyAreReaped) {
    constexpr std::size_t kStarts = 20;
    writeScript("cut -d' ' -f5 /proc/$$/stat >> '" + dir_.file("groups") + "'\n" +
                "sleep 300 & echo $! >> '" + dir_.file("descendants") + "'\nexec sleep 300");
    const auto pidsIn = [&](const std::string& file) {
        std::vector<pid_t> pids;
        for (const auto& line : testsupport::splitLines(testsupport::readFile(dir_.file(file)))) {
            pids.push_back(std::stoi(line));
        }
        return pids;
    };
    const auto held = [&] {
        std::vector<pid_t> keepers;
        for (const pid_t group : pidsIn("groups")) {
            if (heldAsZombie(group)) keepers.push_back(group);
        }
        return keepers;
    };
    for (const bool byKill : {false, true}) {
        SCOPED_TRACE(byKill ? "killed" : "a child ends");
        forgetStarts();
        for (const char* file : {"groups", "descendants"}) std::remove(dir_.file(file).c_str());
        auto child = controller(IQtProcess::Attached, {10000, 3, 300000, 5000, 3000});
        child->setKeepAlive(false);
        for (std::size_t n = 1; n <= kStarts; ++n) {
            child->start(false);
            ASSERT_TRUE(waitFor([&] {
                return starts().size() == n && pidsIn("groups").size() == n &&
                       pidsIn("descendants").size() == n;
            }));
            if (n == kStarts && !byKill) break;
            ::kill(starts()[n - 1].pid, SIGKILL);
            ASSERT_TRUE(waitFor([&] { return logged("process stopped unexpectedly") == int(n); }));
        }
        const std::vector<pid_t> groups = pidsIn("groups"), left = pidsIn("descendants");
        EXPECT_EQ(groups, held()) << "a group with a process in it lost its keeper";
        if (byKill) {
            child->kill();
            ASSERT_TRUE(drain(platform_->internals()));
            EXPECT_EQ(std::vector<pid_t>{}, held());
        } else {
            // Ended and not reaped yet (the test adopts them), they are in their groups no more.
            for (std::size_t i = 0; i + 1 < kStarts; ++i) {
                ::kill(left[i], SIGKILL);
                EXPECT_TRUE(waitFor([&] { return heldAsZombie(left[i]); }));
            }
            ::kill(starts().back().pid, SIGKILL);
            ASSERT_TRUE(waitFor([&] { return logged("process stopped unexpectedly") == kStarts; }));
            EXPECT_EQ(std::vector<pid_t>{groups.back()}, held());
        }
        child.reset();
        ASSERT_TRUE(waitFor([&] { return platform_->internals().objects().liveCount() == 0; }));
        for (const pid_t pid : left) EXPECT_TRUE(waitForEnd(pid)) << "descendant " << pid;
        EXPECT_EQ(std::vector<pid_t>{}, held());
    }
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
