#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ManualTaskScheduler.h"
#include "LocalSocketPeers.h"
#include "PeerProcess.h"
#include "RecordingLogger.h"
#include "support/NobodyChild.h"
#include "support/UnixSocketPeer.h"
#include "interprocess/controller/IpcLocalSocketController.h"

using interprocesstest::PeerProcess;
using interprocesstest::QueueNames;
using testsupport::NobodyChild;
using namespace std::chrono_literals;
using helper::ApplicationType;

using interprocesstest::IpcLocalSocketControllerTest;
using interprocesstest::RawClient;
using interprocesstest::frame;
using interprocesstest::header;
using interprocesstest::openDescriptors;
using interprocesstest::residentKiB;

namespace {

TEST_F(IpcLocalSocketControllerTest, OnlyTheUiConnectsAndItsWaitingTextsArriveFirstInOrder) {
    auto service = peer(kService);
    auto ui = peer(kUi);
    service->command("connect " + kUi);
    for (int n = 1; n <= 3; ++n) {
        ui->command("to " + kService + " {\"n\":" + std::to_string(n) + "}");
        EXPECT_EQ(ui->waitFor("to"), "to 0");
    }
    ui->command("connect " + kService);
    EXPECT_EQ(ui->waitFor("connected"), "connected " + kService);
    EXPECT_EQ(ui->waitFor("connect "), "connect " + kService + " 1");
    EXPECT_TRUE(saw(*ui, ">>creating a socket:" + servicePath()));
    // Queued behind the waiting ones until they are out.
    ui->command("to " + kService + " {\"n\":4}");

    EXPECT_EQ(service->waitFor("connected"), "connected " + kUi);
    // The service's own request is answered by the UI's connection.
    EXPECT_EQ(service->waitFor("connect "), "connect " + kUi + " 1");
    for (int n = 1; n <= 4; ++n) {
        EXPECT_EQ(service->waitFor("received"),
                  "received " + kUi + " {\"n\":" + std::to_string(n) + "}");
    }
    service->command("to " + kUi + " {\"back\":1}");
    EXPECT_EQ(ui->waitFor("received"), "received " + kService + " {\"back\":1}");
    ui->command("to " + kService + " {\"n\":5}");
    EXPECT_EQ(ui->waitFor("to 1"), "to 1");
    EXPECT_EQ(service->waitFor("received"), "received " + kUi + " {\"n\":5}");
    EXPECT_FALSE(saw(*service, ">>creating a socket")) << "the service connected";

    // A killed service is succeeded at its path and the link comes back.
    service->kill();
    EXPECT_EQ(ui->waitFor("disconnected"), "disconnected " + kService);
    struct stat status {};
    ASSERT_EQ(0, ::lstat(servicePath().c_str(), &status)) << "no stale socket file";
    ui->command("to " + kService + " {\"again\":1}");
    EXPECT_EQ(ui->waitFor("to"), "to 0");
    auto successor = peer(kService);
    ui->command("connect " + kService);
    EXPECT_EQ(ui->waitFor("connect "), "connect " + kService + " 1");
    EXPECT_EQ(successor->waitFor("received"), "received " + kUi + " {\"again\":1}");
}

TEST_F(IpcLocalSocketControllerTest, AttemptsToConnectWaitZeroOneTwoFourUnitsThenStartOver) {
    constexpr auto unit = 150ms;
    auto ui = peer(kUi, std::to_string(unit.count()));
    const auto attempt = [&](const std::string& outcome) {
        const auto begin = std::chrono::steady_clock::now();
        ui->command("connect " + kService);
        EXPECT_EQ(ui->waitFor("connect "), "connect " + kService + " " + outcome);
        return std::chrono::steady_clock::now() - begin;
    };
    for (const int units : {0, 1, 2, 4}) {
        const auto took = attempt("0");
        EXPECT_GE(took, units * unit) << units << " units";
        EXPECT_LT(took, units * unit + 2s) << units << " units";
    }
    auto service = peer(kService);
    EXPECT_GE(attempt("1"), 8 * unit);
    ASSERT_EQ(service->waitFor("connected"), "connected " + kUi);
    // Dropping the peer closes the link only when asked to, and once.
    service->command("drop " + kUi);
    EXPECT_FALSE(ui->waitFor("disconnected", 500ms));
    service->command("drop " + kUi + " close");
    EXPECT_EQ(service->waitFor("disconnected"), "disconnected " + kUi);
    ASSERT_EQ(ui->waitFor("disconnected"), "disconnected " + kService);
    service->command("drop " + kUi + " close");
    EXPECT_FALSE(service->waitFor("disconnected", 300ms)) << "told twice";
    // A link that came up starts the delays over.
    EXPECT_LT(attempt("1"), unit);
}

TEST_F(IpcLocalSocketControllerTest, UnknownGreetingsAndUnreadableFramesAreTurnedAway) {
    auto service = peer("Unattended");
    for (const std::string& hostile :
         {frame("Nobody"), frame("None") + frame("{}"), frame("UnattendedUpdater"),
          header(0x01000002) + frame("x"), header(5) + "abcde"}) {
        SCOPED_TRACE(hostile.substr(4));
        RawClient client(path("Unattended"));
        ASSERT_TRUE(client.connected());
        client.send(hostile);
        EXPECT_TRUE(client.closedWithin(5s));
    }
    RawClient ui(path("Unattended"));
    ASSERT_TRUE(ui.connected());
    ui.send(frame("UnattendedUi") + frame("{\"ok\":1}"));
    EXPECT_EQ(service->waitFor("received"), "received UnattendedUi {\"ok\":1}");
    EXPECT_EQ(service->seen, (std::vector<std::string>{"connected UnattendedUi"}));
}

TEST_F(IpcLocalSocketControllerTest, StartFailsWhereTheServerCannotListenAndLeavesThePlaceAlone) {
    const std::string at = path("Unattended");
    const std::string target = at + "-target";
    std::ofstream(target) << "precious";
    const struct {
        const char* what;
        std::function<void()> plant;
    } cases[] = {
        {"a file", [&] { std::ofstream(at) << "precious"; }},
        {"a link", [&] { ASSERT_EQ(0, ::symlink(target.c_str(), at.c_str())); }},
        {"a folder", [&] { ASSERT_EQ(0, ::mkdir(at.c_str(), 0700)); }},
    };
    for (const auto& planted : cases) {
        SCOPED_TRACE(planted.what);
        planted.plant();
        struct stat before {};
        ASSERT_EQ(0, ::lstat(at.c_str(), &before));
        PeerProcess peer;
        peer.command("sockets " + names.prefix() + " Unattended");
        EXPECT_EQ(peer.waitFor("started"), "started 0");
        struct stat after {};
        ASSERT_EQ(0, ::lstat(at.c_str(), &after));
        EXPECT_EQ(before.st_ino, after.st_ino);
        EXPECT_EQ(before.st_mode, after.st_mode);
        ::remove(at.c_str());
    }
    std::ifstream kept(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "precious");
    ::unlink(target.c_str());

    PeerProcess unnamed;
    unnamed.command("sockets " + names.prefix() + " UnattendedUpdater");
    EXPECT_EQ(unnamed.waitFor("started"), "started 0");
}

TEST_F(IpcLocalSocketControllerTest, AGreetingAsAKindItsUserMayNotRunOrThatNeverConnectsIsRefused) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the attacker needs a root test";
    }
    // Nobody owns the local session here: its user interface is welcome.
    auto service = peer("Unattended", "", NobodyChild::kUid);
    const std::string at = path("Unattended");
    // Run as nobody: the greeting, then a message; true when the server
    // closed the connection within 5 s without a word.
    const auto greetAsNobody = [&](const std::string& kind) {
        NobodyChild attacker([&] {
            RawClient client(at);
            if (!client.connected()) {
                return false;
            }
            client.send(frame(kind) + frame("{\"cmd\":\"spoofed\"}"));
            return client.closedWithin(5s);
        });
        return attacker.succeeded();
    };
    for (const std::string kind : {"RemoteControl", "Attended", "Unattended", "CustomerAttendedApp"}) {
        EXPECT_TRUE(greetAsNobody(kind)) << kind;
    }
    EXPECT_FALSE(service->waitFor("received", 300ms)) << "a refused greeting spoke";
    EXPECT_EQ(service->seen, std::vector<std::string>{});
    // A user interface is the session user's to run.
    NobodyChild ui([&] {
        RawClient client(at);
        client.send(frame("UnattendedUi") + frame("{\"ok\":1}"));
        return client.connected() && !client.closedWithin(1s);
    });
    EXPECT_TRUE(ui.succeeded());
    EXPECT_EQ(service->waitFor("received"), "received UnattendedUi {\"ok\":1}");
}

TEST_F(IpcLocalSocketControllerTest, SilentConnectionsAreCappedAndClosedWhileARealClientIsServed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the attacker needs a root test";
    }
    constexpr int kSilent = 2000;
    auto service = peer("Unattended");
    const int baseline = openDescriptors(service->pid());
    const std::string at = path("Unattended");
    NobodyChild storm([&] {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, at.c_str(), sizeof address.sun_path - 1);
        int made = 0;
        for (int i = 0; i < kSilent; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
            if (fd < 0) {
                break;
            }
            // Kept open, and never a word; a full backlog counts as tried.
            const int result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            made += result == 0 || errno == EAGAIN;
        }
        return made == kSilent;
    });
    ASSERT_TRUE(storm.succeeded());
    // The real client is served at its normal pace meanwhile.
    const auto begin = std::chrono::steady_clock::now();
    RawClient ui(at);
    ASSERT_TRUE(ui.connected());
    ui.send(frame("UnattendedUi") + frame("{\"real\":1}"));
    EXPECT_EQ(service->waitFor("received", 5s), "received UnattendedUi {\"real\":1}");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    // Nobody holds at most its cap of connections, and not past the greeting bound.
    EXPECT_LE(openDescriptors(service->pid()), baseline + 64 + 4);
    const auto deadline = begin + 3s + 2s;
    while (openDescriptors(service->pid()) > baseline + 4 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_LE(openDescriptors(service->pid()), baseline + 4) << "silent connections still open";
    service->command("to UnattendedUi {\"back\":1}");
    EXPECT_EQ(service->waitFor("to"), "to 1");
    storm.release();
}

TEST_F(IpcLocalSocketControllerTest, AServerOfAnotherUserIsRefusedAndRootTakesItsPathBack) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the attacker needs a root test";
    }
    const std::string at = path("Unattended");
    // The listener is nobody's: bound here, listened on by nobody, so that
    // the kernel names nobody as the server while the test sees what comes in.
    for (const bool fileOfNobody : {true, false}) {
        SCOPED_TRACE(fileOfNobody ? "socket file of nobody" : "root's file, nobody listening");
        const int fd = testsupport::unixSocket(at, false);
        ASSERT_GE(fd, 0);
        // Not to be inherited by the peers: it would outlive the test's close.
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        if (fileOfNobody) {
            ASSERT_EQ(0, ::chown(at.c_str(), NobodyChild::kUid, NobodyChild::kUid));
        }
        NobodyChild listener([fd] { return ::listen(fd, 16) == 0; });
        ASSERT_TRUE(listener.succeeded());
        auto ui = peer("UnattendedUi");
        ui->command("to Unattended {\"secret\":1}");
        ui->command("connect Unattended");
        EXPECT_EQ(ui->waitFor("connect "), "connect Unattended 0");
        EXPECT_FALSE(saw(*ui, "connected"));
        // Nothing reached the listener: no connection, or one that closes
        // without a byte.
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, 300) == 1) {
            const int accepted = ::accept(fd, nullptr, nullptr);
            ASSERT_GE(accepted, 0);
            EXPECT_FALSE(fileOfNobody) << "connected to a socket file of nobody";
            char byte = 0;
            pollfd readable{accepted, POLLIN, 0};
            ASSERT_EQ(1, ::poll(&readable, 1, 5000));
            EXPECT_EQ(0, ::recv(accepted, &byte, 1, 0)) << "the client sent something";
            ::close(accepted);
        }
        listener.release();
        ::close(fd);
        // A root server takes the path back; the waiting message follows.
        auto service = peer("Unattended");
        struct stat status {};
        ASSERT_EQ(0, ::lstat(at.c_str(), &status));
        EXPECT_EQ(status.st_uid, 0u);
        ui->command("connect Unattended");
        EXPECT_EQ(ui->waitFor("connect "), "connect Unattended 1");
        EXPECT_EQ(service->waitFor("received"), "received UnattendedUi {\"secret\":1}");
    }
}

TEST_F(IpcLocalSocketControllerTest, ASecondServerOfTheSameKindAndIdLeavesTheFirstServing) {
    auto first = peer("Unattended");
    struct stat before {};
    ASSERT_EQ(0, ::lstat(path("Unattended").c_str(), &before));
    PeerProcess second;
    second.command("sockets " + names.prefix() + " Unattended");
    EXPECT_EQ(second.waitFor("started"), "started 0");
    struct stat after {};
    ASSERT_EQ(0, ::lstat(path("Unattended").c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    RawClient ui(path("Unattended"));
    ASSERT_TRUE(ui.connected());
    ui.send(frame("UnattendedUi") + frame("{\"first\":1}"));
    EXPECT_EQ(first->waitFor("received"), "received UnattendedUi {\"first\":1}");
}

TEST_F(IpcLocalSocketControllerTest, OfTwoServersStartedAtOnceExactlyOneHostsAndIsReached) {
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        PeerProcess first;
        PeerProcess second;
        // Both ready, then told to start as close together as can be.
        for (PeerProcess* twin : {&first, &second}) {
            twin->command("session 0");
            ASSERT_EQ(twin->waitFor("session"), "session");
        }
        first.command("sockets " + names.prefix() + " Unattended");
        second.command("sockets " + names.prefix() + " Unattended");
        const auto one = first.waitFor("started");
        const auto other = second.waitFor("started");
        ASSERT_TRUE(one && other);
        EXPECT_EQ((*one == "started 1") + (*other == "started 1"), 1) << *one << ", " << *other;
        PeerProcess& host = *one == "started 1" ? first : second;
        RawClient ui(path("Unattended"));
        ASSERT_TRUE(ui.connected());
        ui.send(frame("UnattendedUi") + frame("{\"round\":" + std::to_string(round) + "}"));
        EXPECT_EQ(host.waitFor("received"),
                  "received UnattendedUi {\"round\":" + std::to_string(round) + "}");
    }
}

TEST_F(IpcLocalSocketControllerTest, ANeverReadingPeerKeepsTheServerWithinItsBoundAndLaterSendsFail) {
    constexpr int kMessages = 100;
    constexpr long kMegabyte = 1024 * 1024;
    // Freed memory is handed back at once, so that what is resident is what is held.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    const std::string saved = sanitizer != nullptr ? sanitizer : "";
    ::setenv("ASAN_OPTIONS", (saved + ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64").c_str(), 1);
    auto service = peer("Unattended");
    ::setenv("ASAN_OPTIONS", saved.c_str(), 1);
    RawClient ui(path("Unattended"));
    ASSERT_TRUE(ui.connected());
    ui.send(frame("UnattendedUi"));
    ASSERT_EQ(service->waitFor("connected"), "connected UnattendedUi");
    const long before = residentKiB(service->pid());
    const std::string text(kMegabyte, 'm');
    int accepted = 0;
    long highest = before;
    for (int i = 0; i < kMessages; ++i) {
        service->command("to UnattendedUi " + text);
        const auto answer = service->waitFor("to");
        accepted += answer == "to 1";
        highest = std::max(highest, residentKiB(service->pid()));
    }
    // 32 MiB of frames (two bytes a character) on the socket, 16 MiB of
    // messages waiting, and the room a message takes on its way.
    EXPECT_LE(accepted, 17);
    EXPECT_GE(accepted, 8);
    EXPECT_LT((highest - before) / 1024, 32 + 16 + 40) << "MiB more than before";
}

TEST_F(IpcLocalSocketControllerTest, TwoHundredMessagesInOrderAndWhatWaitsThroughAKilledServiceFollowsInOrder) {
    auto service = peer(kService);
    auto ui = peer(kUi);
    ui->command("connect " + kService);
    ASSERT_EQ(ui->waitFor("connect "), "connect " + kService + " 1");
    for (int n = 1; n <= 200; ++n) {
        ui->command("to " + kService + " {\"n\":" + std::to_string(n) + "}");
    }
    for (int n = 1; n <= 200; ++n) {
        ASSERT_EQ(service->waitFor("received"),
                  "received " + kUi + " {\"n\":" + std::to_string(n) + "}");
    }
    service->kill();
    ASSERT_EQ(ui->waitFor("disconnected"), "disconnected " + kService);
    for (int n = 1; n <= 20; ++n) {
        ui->command("to " + kService + " {\"waited\":" + std::to_string(n) + "}");
        EXPECT_EQ(ui->waitFor("to"), "to 0");
    }
    auto successor = peer(kService);
    ui->command("connect " + kService);
    EXPECT_EQ(ui->waitFor("connect "), "connect " + kService + " 1");
    for (int n = 1; n <= 20; ++n) {
        ASSERT_EQ(successor->waitFor("received"),
                  "received " + kUi + " {\"waited\":" + std::to_string(n) + "}");
    }
}

TEST_F(IpcLocalSocketControllerTest, TheListenerOutlivesRunningOutOfDescriptors) {
    auto service = peer("Unattended");
    // Room for a few connections more than the server has open now.
    const rlimit tight{static_cast<rlim_t>(openDescriptors(service->pid()) + 8),
                       static_cast<rlim_t>(openDescriptors(service->pid()) + 8)};
    ASSERT_EQ(0, ::prlimit(service->pid(), RLIMIT_NOFILE, &tight, nullptr));
    {
        std::vector<std::unique_ptr<RawClient>> crowd;
        for (int i = 0; i < 20; ++i) {
            crowd.push_back(std::make_unique<RawClient>(path("Unattended")));
            crowd.back()->send(frame("UnattendedUi"));
        }
        std::this_thread::sleep_for(500ms);
    }
    struct stat status {};
    ASSERT_EQ(0, ::lstat(path("Unattended").c_str(), &status)) << "the socket file went";
    // Descriptors are free again: a new client is served.
    RawClient ui(path("Unattended"));
    ASSERT_TRUE(ui.connected());
    ui.send(frame("UnattendedUi") + frame("{\"after\":1}"));
    EXPECT_EQ(service->waitFor("received"), "received UnattendedUi {\"after\":1}");
}

}  // namespace
