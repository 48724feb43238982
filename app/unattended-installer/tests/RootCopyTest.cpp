// The elevated copy on its own as root, against the real install location:
// the modes of what it installs, the folders above, one install at a time,
// closing signals, what a killed run left and the daemon's leftovers (the
// package's bounds and the limits in RootCopyBoundsTest.cpp, the parameter
// files in RootCopyParameterFileTest.cpp). The cases share
// "/Library/Application Support", so CTest runs them one at a time.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>

#include <boost/filesystem.hpp>

#include "PackageServer.h"
#include "RootCopyTest.h"
#include "support/ChildProcess.h"

namespace fs = boost::filesystem;
using installertest::Agent;
using installertest::contains;
using installertest::entries;
using installertest::InstallerBundle;
using installertest::PackageServer;
using installertest::RootCopyTest;
using installertest::treeOf;
using installertest::windowLines;
using installertest::writeFile;
using quorvane::unattended::InstallerState;
using testsupport::readFile;
using Lines = std::vector<std::string>;

namespace {

// What lies in `folder` with a mode that lets others write or sets an id.
std::vector<std::string> openEntries(const std::string& folder) {
    std::vector<std::string> open;
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
        struct stat info {};
        const bool linked = ::lstat(it->path().c_str(), &info) == 0 && S_ISLNK(info.st_mode);
        if (!linked && (info.st_mode & (S_IWGRP | S_IWOTH | S_ISUID | S_ISGID)) != 0) {
            open.push_back(it->path().string());
        }
    }
    return open;
}

// A process the sample daemon leaves running, once it has written its id
// into `pidFile`, while its command line mentions `mark`; killed, if it
// still runs, when this goes.
class Leftover {
public:
    explicit Leftover(std::string pidFile, std::string mark = "leftover.txt")
        : pidFile_(std::move(pidFile)), mark_(std::move(mark)) {}
    ~Leftover() {
        if (running()) {
            ::kill(pid_, SIGKILL);
        }
    }
    // Waits for its id; false when none came.
    bool started() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (readFile(pidFile_).empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const std::string id = readFile(pidFile_);
        pid_ = id.empty() ? -1 : std::stoi(id);
        return pid_ > 0;
    }
    // Whether it is still there and not yet ended (a zombie has ended).
    bool running() const {
        if (pid_ <= 0 ||
            !contains(readFile("/proc/" + std::to_string(pid_) + "/cmdline"), mark_)) {
            return false;
        }
        const std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
        const auto state = stat.rfind(") ");
        return state != std::string::npos && stat.compare(state + 2, 1, "Z") != 0;
    }
    // Whether it has ended within `timeout`.
    bool ends(std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (running() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return !running();
    }

private:
    std::string pidFile_;
    std::string mark_;
    pid_t pid_ = -1;
};

TEST_F(RootCopyTest, NothingInstalledIsWritableByOthersWhateverThePackageOrUmaskSay) {
    installertest::makeAgentPackage(package_, Agent{.modes = true});
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    Lines argv{"/bin/sh", "-c", "umask 000; exec \"$0\" \"$@\"", installer.executable()};
    const Lines arguments = request();
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto result = installer.launch(argv)->finish(std::chrono::seconds(60));
    ASSERT_EQ("<exitcode>0</exitcode>\n", result.output) << installer.lastLog();
    EXPECT_EQ(Lines{}, openEntries(destination()));
    EXPECT_TRUE(fs::exists(destination() + "/extra/no-modes.txt"));
    struct stat info {};
    for (const std::string& folder : {product(), destination()}) {
        ASSERT_EQ(0, ::lstat(folder.c_str(), &info));
        EXPECT_EQ(0755u, info.st_mode & 07777) << folder;
        EXPECT_EQ(0u, info.st_uid) << folder;
    }
}

// Each folder above the install folder must be root's alone; one that is not
// is named in the log, and nothing is unpacked.
TEST_F(RootCopyTest, AFolderAboveTheInstallThatOthersControlIsRefusedBeforeUnpacking) {
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    struct Case {
        std::string what;
        uid_t owner;
        mode_t mode;
        std::string reason;
    };
    const std::vector<Case> cases{
        {"made 0777 by another user", 65534, 0777, "belongs to user 65534"},
        {"another user's", 65534, 0755, "belongs to user 65534"},
        {"root's, writable by all", 0, 0777, "is writable by others"},
        {"root's, writable by its group", 0, 0775, "is writable by others"},
    };
    for (const auto& c : cases) {
        fs::create_directories(product());
        ASSERT_EQ(0, ::chown(product().c_str(), c.owner, c.owner));
        ASSERT_EQ(0, ::chmod(product().c_str(), c.mode));
        const auto result = installer.run(request());
        EXPECT_EQ("<exitcode>3</exitcode>\n", result.output) << c.what;
        const std::string log = installer.lastLog();
        EXPECT_TRUE(contains(log, "refusing the folders above the install folder: '" +
                                      product() + "' " + c.reason))
            << c.what << "\n"
            << log;
        EXPECT_FALSE(contains(log, "unzip")) << c.what;
        EXPECT_EQ(Lines{}, entries(product())) << c.what;
        fs::remove(product());
    }
}

// The first install's registration fails and it rolls back while the second
// waits for it; the second then installs. Each result line tells what it
// did, and the disk holds the second's install alone.
TEST_F(RootCopyTest, TwoInstallsIntoOneFolderTakeTurns) {
    makeEarlierInstall();
    const std::string failing = work_.file("failing.zip");
    installertest::makeAgentPackage(failing, Agent{.exitCode = 1, .sleep = 2});
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    auto first = startElevated(installer, {}, failing, "-run first");
    ASSERT_TRUE(waitForRegistration());
    auto second = startElevated(installer, {}, package_, "-run second");
    const auto firstResult = first->finish(std::chrono::seconds(60));
    EXPECT_EQ("<exitcode>5</exitcode>\n", firstResult.output);
    const auto secondResult = second->finish(std::chrono::seconds(60));
    EXPECT_EQ("<exitcode>0</exitcode>\n", secondResult.output);
    EXPECT_EQ((Lines{"-regsvc", "-run", "second", "-publickey", key_}), daemonCall());
    EXPECT_FALSE(fs::exists(destination() + "/marker"));
    EXPECT_EQ(Lines{company_}, entries(product())) << "nothing hidden, no lock left";
    const std::string logs = installer.newLogsText();
    EXPECT_TRUE(contains(logs, "waiting for another install into '" + destination() + "'"))
        << logs;
}

// What sudo passes on to the root copy while the daemon registers does not
// cut the run short: it finishes, or rolls back, and says which.
TEST_F(RootCopyTest, ClosingSignalsDuringRegistrationWaitForTheOutcome) {
    const std::string failing = work_.file("failing.zip");
    installertest::makeAgentPackage(failing, Agent{.exitCode = 1, .sleep = 1});
    installertest::makeAgentPackage(package_, Agent{.sleep = 1});
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    const std::vector<std::pair<int, bool>> cases{
        {SIGTERM, true}, {SIGINT, false}, {SIGHUP, true}, {SIGTERM, false}};
    for (const auto& [signal, registers] : cases) {
        fs::remove_all(destination());
        makeEarlierInstall();
        auto process = startElevated(installer, {}, registers ? package_ : failing);
        ASSERT_TRUE(waitForRegistration()) << process->errors();
        process->signal(signal);
        const auto result = process->finish(std::chrono::seconds(60));
        EXPECT_EQ(registers ? "<exitcode>0</exitcode>\n" : "<exitcode>5</exitcode>\n",
                  result.output)
            << strsignal(signal);
        EXPECT_EQ(registers, !fs::exists(destination() + "/marker")) << strsignal(signal);
        EXPECT_EQ(registers, fs::exists(destination() + "/daemon-call.txt")) << strsignal(signal);
        EXPECT_EQ(Lines{company_}, entries(product())) << strsignal(signal);
    }
}

// Before the new install is in place a closing signal ends the run with
// nothing changed.
TEST_F(RootCopyTest, AClosingSignalWhileUnpackingEndsTheInstallUnchanged) {
    makeEarlierInstall();
    installertest::makeAgentPackage(package_, Agent{.fillerCount = 32, .fillerSize = 16 << 20});
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    auto process = startElevated(installer);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (entries(product()).size() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    process->signal(SIGTERM);
    const auto result = process->finish();
    EXPECT_EQ("<exitcode>4</exitcode>\n", result.output);
    EXPECT_EQ("earlier", marker());
    EXPECT_EQ(Lines{company_}, entries(product()));
    EXPECT_TRUE(contains(installer.lastLog(), "unzip was stopped by a signal"))
        << installer.lastLog();
}

// The same through the window: the signal reaches the root copy (as sudo
// passes it on) and its parent, the user-started copy; the window tells the
// outcome that is on disk and then closes.
TEST_F(RootCopyTest, TheWindowTellsWhatIsOnDiskWhenItsRunIsSignalledDuringRegistration) {
    installertest::makeAgentPackage(package_, Agent{.sleep = 1});
    PackageServer server(package_, work_.file("journal"));
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    ASSERT_TRUE(installer.setParameters(R"({"Product": ")" + product_ + "\"}"));
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        fs::remove_all(destination());
        makeEarlierInstall();
        auto process =
            start(installer, {"-CompanyId", company_, "-UnattendedDownloadUrl", server.url()});
        ASSERT_TRUE(waitForRegistration()) << process->errors();
        for (const int pid : installertest::processesMentioning("-PrivilegedInstall")) {
            if (contains(readFile("/proc/" + std::to_string(pid) + "/cmdline"), destination())) {
                ::kill(pid, signal);
            }
        }
        process->signal(signal);
        const auto result = process->finish();
        EXPECT_EQ(window(InstallerState::Succeeded), windowLines(result.errors))
            << strsignal(signal);
        EXPECT_EQ(0, result.exitCode) << strsignal(signal);
        EXPECT_FALSE(fs::exists(destination() + "/marker")) << strsignal(signal);
        EXPECT_TRUE(fs::exists(destination() + "/daemon-call.txt")) << strsignal(signal);
        EXPECT_EQ(Lines{company_}, entries(product())) << strsignal(signal);
    }
}

// A root copy killed while unzip runs takes unzip with it; the next run finds
// what it left and goes on from the earlier install. A run killed during the
// registration left the earlier install hidden: the next run puts it back.
TEST_F(RootCopyTest, WhatAKilledRunLeftIsPutRightByTheNext) {
    makeEarlierInstall();
    const std::string slow = work_.file("slow.zip");
    installertest::makeAgentPackage(slow, Agent{.fillerCount = 32, .fillerSize = 16 << 20});
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    auto killed = startElevated(installer, {}, slow);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::vector<int> unzips;
    while (unzips.empty() && std::chrono::steady_clock::now() < deadline) {
        for (const int pid : installertest::processesMentioning(product() + "/." + company_)) {
            if (contains(readFile("/proc/" + std::to_string(pid) + "/cmdline"), "unzip")) {
                unzips.push_back(pid);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(unzips.empty()) << killed->errors();
    killed->signal(SIGKILL);
    killed->finish();
    // unzip would need seconds more for the rest of the package. Ended, it
    // may stay a zombie until its new parent reaps it.
    const auto running = [pid = unzips.front()] {
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const auto state = stat.rfind(") ");
        return state != std::string::npos && stat.compare(state + 2, 1, "Z") != 0;
    };
    const auto gone = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (running() && std::chrono::steady_clock::now() < gone) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(running()) << "unzip outlived the root copy";
    EXPECT_LT(1u, entries(product()).size()) << "the killed run left its unpacking";

    // As a run killed during the registration leaves it.
    fs::rename(destination(), product() + "/." + company_ + ".earlier");
    fs::create_directories(destination());
    writeFile(destination() + "/marker", "half");
    const std::string junk = work_.file("junk.zip");
    writeFile(junk, "not a zip");
    EXPECT_EQ("<exitcode>4</exitcode>\n", startElevated(installer, {}, junk)->finish().output);
    EXPECT_EQ("earlier", marker());
    EXPECT_EQ(Lines{company_}, entries(product()));
    EXPECT_TRUE(contains(installer.lastLog(), "the earlier install is back in")) << installer.lastLog();

    EXPECT_EQ("<exitcode>0</exitcode>\n", installer.run(request()).output);
    EXPECT_EQ(Lines{company_}, entries(product()));
}

// What the daemon left running keeps its standard output and error after
// the install: writers that write to them 2 s after the root copy has
// ended live through their writes and finish their work.
TEST_F(RootCopyTest, WhatTheDaemonLeftRunningKeepsItsOutputAfterTheInstall) {
    const std::string go = work_.file("late-go");
    // Whatever happens, the writers wait no longer.
    const std::shared_ptr<void> release(nullptr, [&go](void*) { writeFile(go, "go"); });
    installertest::makeAgentPackage(package_, Agent{.lateWriters = go});
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    const auto result = startElevated(installer)->finish(std::chrono::seconds(60));
    ASSERT_EQ("<exitcode>0</exitcode>\n", result.output) << installer.lastLog();
    const std::string log = installer.lastLog();
    EXPECT_TRUE(contains(log, "[info] [UnattendedInstaller] daemon: <exitcode>0</exitcode>"))
        << log;
    // Each writer by the id it wrote: a shell that forks its sleep shows
    // the writer's command line twice for a moment.
    const Lines streams{"both", "err", "out"};
    std::deque<Leftover> writers;
    Lines alive;
    for (const auto& stream : streams) {
        writers.emplace_back(destination() + "/late-" + stream + ".pid", go);
        if (writers.back().started() && writers.back().running()) {
            alive.push_back(stream);
        }
    }
    ASSERT_EQ(streams, alive) << "the writers there when the root copy ended";
    std::this_thread::sleep_for(std::chrono::seconds(2));
    writeFile(go, "go");
    for (const auto& writer : writers) {
        EXPECT_TRUE(writer.ends(std::chrono::seconds(60)));
    }
    Lines finished;
    for (const std::string stream : {"both", "err", "out"}) {
        if (readFile(destination() + "/late-" + stream + ".txt") == "done\n") {
            finished.push_back(stream);
        }
    }
    EXPECT_EQ(streams, finished) << "of the writers to stdout, stderr, both";
}

// What the daemon started and left in its process group goes when the
// root copy is killed, or when the registration fails, before the earlier
// install is back, so nothing writes into it, not even a process that
// writes there without a pause: the earlier install is back byte for byte.
// After a registration that succeeded it stays.
TEST_F(RootCopyTest, WhatTheDaemonLeftRunningGoesUnlessItsInstallSucceeds) {
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    const std::string junk = work_.file("junk.zip");
    writeFile(junk, "not a zip");
    struct Case {
        std::string what;
        Agent agent;
        bool kill;
        std::string output;
    };
    const std::string pidFile = work_.file("leftover-pid");
    const std::vector<Case> cases{
        {"the root copy killed", Agent{.sleep = 60, .leaveRunning = pidFile}, true, ""},
        {"the registration failed",
         Agent{.exitCode = 1, .leaveRunning = pidFile, .leftoverPause = "0"}, false,
         "<exitcode>5</exitcode>\n"},
        {"the registration succeeded", Agent{.leaveRunning = pidFile}, false,
         "<exitcode>0</exitcode>\n"},
    };
    for (const auto& c : cases) {
        fs::remove_all(destination());
        fs::remove(pidFile);
        makeEarlierInstall();
        writeFile(destination() + "/unattended.json", R"({"DeviceToken": "kept"})");
        const auto earlier = treeOf(destination());
        installertest::makeAgentPackage(package_, c.agent);
        auto process = startElevated(installer);
        Leftover leftover(pidFile);
        ASSERT_TRUE(leftover.started()) << c.what << process->errors();
        if (c.kill) {
            process->signal(SIGKILL);
        }
        EXPECT_EQ(c.output, process->finish(std::chrono::seconds(60)).output) << c.what;
        if (c.output == "<exitcode>0</exitcode>\n") {
            EXPECT_FALSE(leftover.ends(std::chrono::milliseconds(300))) << c.what;
            EXPECT_TRUE(fs::exists(destination() + "/leftover.txt")) << c.what;
            continue;
        }
        EXPECT_TRUE(leftover.ends(std::chrono::seconds(5))) << c.what;
        if (c.kill) {
            // The next run puts the earlier install back.
            EXPECT_EQ("<exitcode>4</exitcode>\n",
                      startElevated(installer, {}, junk)->finish().output);
        }
        EXPECT_EQ(earlier, treeOf(destination())) << c.what;
    }
}

}  // namespace
