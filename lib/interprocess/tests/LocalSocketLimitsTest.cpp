#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LocalSocketPeers.h"
#include "support/NobodyChild.h"

using interprocesstest::frame;
using interprocesstest::header;
using interprocesstest::IpcLocalSocketControllerTest;
using interprocesstest::RawClient;
using interprocesstest::residentKiB;
using testsupport::NobodyChild;
using namespace std::chrono_literals;

namespace {

constexpr long kMegabyte = 1024 * 1024;

// Sanitizer options under which freed memory goes back at once, so that
// what is resident is what is held; restored at the end.
class ReturnedMemory {
public:
    ReturnedMemory() {
        const char* options = std::getenv("ASAN_OPTIONS");
        saved_ = options != nullptr ? options : "";
        ::setenv("ASAN_OPTIONS",
                 (saved_ + ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64").c_str(), 1);
    }
    ~ReturnedMemory() { ::setenv("ASAN_OPTIONS", saved_.c_str(), 1); }

private:
    std::string saved_;
};

// Writes to a raw connection, all of it, blocking as the server reads.
bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

// The owner of the local session in these tests.
constexpr uid_t kSessionUser = 65533;

// Opens `count` connections to `at`, greets on each as `kind` and announces a
// frame of 16 MiB, of which it sends all but 2 bytes, as the server takes
// them, for `period` at most; a connection the server closes is left. The
// connections stay in `open`.
bool holdUnfinishedFrames(const std::string& at, const std::string& kind, int count,
                          std::chrono::milliseconds period, std::vector<int>& open) {
    constexpr std::size_t kAnnounced = 16u * 1024u * 1024u;
    std::vector<std::size_t> left;
    for (int i = 0; i < count; ++i) {
        const int fd = testsupport::unixSocket(at, true);
        if (fd < 0 || !writeAll(fd, frame(kind) + header(kAnnounced)) ||
            ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
            return false;
        }
        open.push_back(fd);
        left.push_back(kAnnounced - 2);
    }
    const std::string chunk(256 * 1024, 'x');
    const auto deadline = std::chrono::steady_clock::now() + period;
    bool sending = true;
    while (sending && std::chrono::steady_clock::now() < deadline) {
        sending = false;
        bool sent = false;
        for (std::size_t i = 0; i < open.size(); ++i) {
            if (left[i] == 0) {
                continue;
            }
            const ssize_t done = ::send(open[i], chunk.data(), std::min(chunk.size(), left[i]),
                                        MSG_NOSIGNAL | MSG_DONTWAIT);
            if (done > 0) {
                left[i] -= static_cast<std::size_t>(done);
                sent = true;
            } else if (errno != EAGAIN) {
                left[i] = 0;
            }
            sending = sending || left[i] > 0;
        }
        if (!sent) {
            std::this_thread::sleep_for(10ms);
        }
    }
    return true;
}

// Whether the server closes every one of `open` by `deadline`.
bool allClosedBy(const std::vector<int>& open, std::chrono::steady_clock::time_point deadline) {
    std::vector<int> waiting = open;
    char bytes[4096];
    while (!waiting.empty() && std::chrono::steady_clock::now() < deadline) {
        for (auto fd = waiting.begin(); fd != waiting.end();) {
            const ssize_t got = ::recv(*fd, bytes, sizeof bytes, MSG_DONTWAIT);
            fd = got == 0 || (got < 0 && errno != EAGAIN) ? waiting.erase(fd) : fd + 1;
        }
        std::this_thread::sleep_for(20ms);
    }
    return waiting.empty();
}

// The address of the socket at `at`.
sockaddr_un addressOf(const std::string& at) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, at.c_str(), sizeof address.sun_path - 1);
    return address;
}

// Keeps `count` connections to `at` open for `period` without a word: each
// one the server closes is made again 3 s later, and tried again and again
// while the server has no room for it.
bool keepSilentConnections(const std::string& at, std::size_t count,
                           std::chrono::milliseconds period) {
    const sockaddr_un address = addressOf(at);
    std::vector<int> open;
    std::vector<std::chrono::steady_clock::time_point> due(count, std::chrono::steady_clock::now());
    const auto deadline = std::chrono::steady_clock::now() + period;
    char byte = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto now = std::chrono::steady_clock::now();
        for (auto when = due.begin(); when != due.end();) {
            const int fd = *when <= now ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0) : -1;
            if (fd >= 0 &&
                ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
                open.push_back(fd);
                when = due.erase(when);
                continue;
            }
            if (fd >= 0) {
                ::close(fd);
            }
            ++when;
        }
        for (auto fd = open.begin(); fd != open.end();) {
            const ssize_t got = ::recv(*fd, &byte, 1, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                ::close(*fd);
                fd = open.erase(fd);
                due.push_back(now + 3s);
            } else {
                ++fd;
            }
        }
        std::this_thread::sleep_for(10ms);
    }
    for (const int fd : open) {
        ::close(fd);
    }
    return true;
}

// A connection to `at` as a Qt local socket makes it: without waiting, tried
// again while the server has no room for it (EAGAIN), for 100 ms at most;
// -1 when it was not made.
int connectLikeQt(const std::string& at) {
    const sockaddr_un address = addressOf(at);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const auto deadline = std::chrono::steady_clock::now() + 100ms;
    while (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EAGAIN || std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            return -1;
        }
        std::this_thread::sleep_for(1ms);
    }
    return fd;
}

TEST_F(IpcLocalSocketControllerTest, AFirstFrameLongerThanAGreetingDropsTheConnectionAtOnce) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the attacker needs a root test";
    }
    ReturnedMemory returned;
    auto service = peer("Unattended");
    const std::string at = path("Unattended");
    const long before = residentKiB(service->pid());
    // 64 connections of nobody, each announcing a greeting of 16 MiB and
    // sending what the socket takes of it: each closed within a second, its
    // text not kept.
    constexpr int kConnections = 64;
    NobodyChild attacker([&] {
        std::vector<int> open;
        const std::string start = header(16u * 1024u * 1024u) + std::string(kMegabyte, 'x');
        for (int i = 0; i < kConnections; ++i) {
            const int fd = testsupport::unixSocket(at, true);
            if (fd < 0 || ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
                return false;
            }
            open.push_back(fd);
            ::send(fd, start.data(), start.size(), MSG_NOSIGNAL);
        }
        const auto deadline = std::chrono::steady_clock::now() + 1s;
        int closed = 0;
        while (!open.empty() && std::chrono::steady_clock::now() < deadline) {
            for (auto fd = open.begin(); fd != open.end();) {
                char byte = 0;
                const ssize_t got = ::recv(*fd, &byte, 1, 0);
                if (got == 0 || (got < 0 && errno != EAGAIN)) {
                    ::close(*fd);
                    fd = open.erase(fd);
                    ++closed;
                } else {
                    ++fd;
                }
            }
            std::this_thread::sleep_for(10ms);
        }
        return closed == kConnections;
    });
    EXPECT_TRUE(attacker.succeeded()) << "connections not closed within a second";
    EXPECT_LT((residentKiB(service->pid()) - before) / 1024, 16) << "MiB more than before";
    attacker.release();
    // A greeting of a few hundred bytes is read: it names no kind and is
    // turned away for that, as is one just past the bound for its length.
    for (const std::string& greeting :
         {frame(std::string(128, 'A')), header(258) + std::string(258, 'A')}) {
        RawClient client(at);
        ASSERT_TRUE(client.connected());
        client.send(greeting);
        EXPECT_TRUE(client.closedWithin(1s)) << greeting.size();
    }
    RawClient ui(at);
    ASSERT_TRUE(ui.connected());
    ui.send(frame("UnattendedUi") + frame("{\"ok\":1}"));
    EXPECT_EQ(service->waitFor("received"), "received UnattendedUi {\"ok\":1}");
}

TEST_F(IpcLocalSocketControllerTest, AFloodingPeerIsHeldAtItsBoundAndDoesNotDelayAnotherPeersMessage) {
    ReturnedMemory returned;
    auto service = peer("Unattended");
    const std::string at = path("Unattended");
    const long before = residentKiB(service->pid());
    const int flooder = testsupport::unixSocket(at, true);
    ASSERT_GE(flooder, 0);
    ASSERT_TRUE(writeAll(flooder, frame("UnattendedUi")));
    ASSERT_EQ(service->waitFor("connected"), "connected UnattendedUi");
    // As much as the server takes, in messages of 1 KiB, for 3 s.
    std::atomic<bool> flooding{true};
    std::atomic<long> written{0};
    std::thread flood([&] {
        const std::string batch = [] {
            std::string bytes;
            for (int i = 0; i < 64; ++i) {
                bytes += frame("{\"flood\":\"" + std::string(1000, 'f') + "\"}");
            }
            return bytes;
        }();
        while (flooding && writeAll(flooder, batch)) {
            written += static_cast<long>(batch.size());
        }
    });
    std::this_thread::sleep_for(1500ms);
    RawClient other(at);
    ASSERT_TRUE(other.connected());
    other.send(frame("AttendedUi") + frame("{\"other\":1}"));
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(service->waitFor("received AttendedUi", 20s), "received AttendedUi {\"other\":1}");
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s) << "the other peer's message waited";
    // The flood goes on, at the pace at which the server handles it.
    const long midway = written;
    long highest = 0;
    for (int i = 0; i < 15; ++i) {
        highest = std::max(highest, residentKiB(service->pid()));
        service->waitFor("nothing", 100ms);
        service->seen.clear();
    }
    EXPECT_GT(written - midway, kMegabyte) << "the flooding peer is no longer read";
    flooding = false;
    ::shutdown(flooder, SHUT_RDWR);
    flood.join();
    ::close(flooder);
    EXPECT_LT((highest - before) / 1024, 64)
        << "MiB more than before, " << written / kMegabyte << " MiB written";
    service->seen.clear();
}

TEST_F(IpcLocalSocketControllerTest, TextsSentWhileAPeerPausedGoOutInOrderOnceItReadsAgain) {
    auto service = peer(kService);
    auto ui = peer(kUi);
    ui->command("connect " + kService);
    ASSERT_EQ(ui->waitFor("connect "), "connect " + kService + " 1");
    ASSERT_EQ(service->waitFor("connected"), "connected " + kUi);
    ui->signal(SIGSTOP);
    // 2 MiB frames: 16 fill what may wait to be written, 16 more wait in the
    // controller, the rest cannot be kept and are told not sent.
    constexpr int kLarge = 40;
    int written = 0;
    int waiting = 0;
    for (int n = 0; n < kLarge; ++n) {
        service->command("to " + kUi + " " + std::to_string(n) + std::string(kMegabyte, 'p'));
        const auto answer = service->waitFor("to");
        written += answer == "to 1";
        waiting += answer == "to 0";
    }
    int notSent = 0;
    for (const auto& line : service->seen) {
        notSent += line == "notsent " + kUi + " " + std::to_string(kMegabyte + 2);
    }
    service->seen.clear();
    EXPECT_GE(written, 8);
    EXPECT_GE(notSent, 1) << "nothing was told not sent";
    EXPECT_EQ(written + waiting, kLarge);
    ui->signal(SIGCONT);
    for (int n = 1; n <= 3; ++n) {
        service->command("to " + kUi + " {\"small\":" + std::to_string(n) + "}");
    }
    // Everything kept arrives, in order, the small ones last.
    int last = -1;
    for (int large = 0; large < kLarge - notSent; ++large) {
        const auto line = ui->waitFor("received", 20s);
        ASSERT_TRUE(line) << "large " << large;
        const int n = std::atoi(line->c_str() + std::string("received " + kService + " ").size());
        EXPECT_GT(n, last) << "out of order";
        last = n;
    }
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(ui->waitFor("received", 20s),
                  "received " + kService + " {\"small\":" + std::to_string(n) + "}");
    }
}

// The session user's 64 linked connections each announce a frame of 16 MiB
// and send all of it but 2 bytes: what the server keeps of them counts
// against each one's bound, and each is closed once it has stayed past the
// bound on its frame for as long as a greeting may take. A frame longer than
// the bound from a peer that sends it whole still arrives.
TEST_F(IpcLocalSocketControllerTest,
       UnfinishedFramesCountAgainstAPeersBoundAndAPeerStuckPastItIsClosed) {
    ReturnedMemory returned;
    const bool root = ::geteuid() == 0;
    auto service = root ? peer(kService, "", kSessionUser) : peer(kService);
    const std::string at = servicePath();
    const long before = residentKiB(service->pid());
    std::atomic<long> highest{before};
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling) {
            highest = std::max(highest.load(), residentKiB(service->pid()));
            std::this_thread::sleep_for(20ms);
        }
    });
    const auto attack = [&] {
        std::vector<int> open;
        const auto begin = std::chrono::steady_clock::now();
        const bool held = holdUnfinishedFrames(at, kUi, 64, 20s, open);
        // Past the bound from the start: closed 3 s later, give or take.
        const bool closed = held && allClosedBy(open, begin + 5s);
        for (const int fd : open) {
            ::close(fd);
        }
        return closed;
    };
    if (root) {
        NobodyChild user(attack, kSessionUser);
        EXPECT_TRUE(user.succeeded()) << "a connection past its bound stayed open";
    } else {
        EXPECT_TRUE(attack()) << "a connection past its bound stayed open";
    }
    sampling = false;
    sampler.join();
    EXPECT_LT((highest - before) / 1024, 160) << "MiB more than before";
    // Their ends are all handled before another links as the same kind.
    for (int closed = 0; closed < 64; ++closed) {
        ASSERT_EQ(service->waitFor("disconnected"), "disconnected " + kUi) << closed;
    }

    RawClient ui(at);
    ASSERT_TRUE(ui.connected());
    const std::string big = "{\"big\":\"" + std::string(kMegabyte, 'b') + "\"}";
    ui.send(frame(kUi) + frame(big));
    const auto line = service->waitFor("received", 20s);
    ASSERT_TRUE(line) << "the long frame sent whole did not arrive";
    EXPECT_EQ(*line, "received " + kUi + " " + big);
}

// 18 users keep 64 silent connections each to a root server whose process
// may open 1,024 descriptors, making new ones for those closed every 3 s:
// root and the session user still connect, and are heard.
TEST_F(IpcLocalSocketControllerTest, ManyUsersSilentConnectionsLeaveRootAndTheSessionUserRoom) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the other users need a root test";
    }
    auto service = peer("Unattended", "", kSessionUser);
    const std::string at = path("Unattended");
    const rlimit descriptors{1024, 1024};
    ASSERT_EQ(0, ::prlimit(service->pid(), RLIMIT_NOFILE, &descriptors, nullptr));
    std::vector<std::unique_ptr<NobodyChild>> storm;
    for (uid_t user = 65500; user < 65518; ++user) {
        storm.push_back(
            std::make_unique<NobodyChild>([&] { return keepSilentConnections(at, 64, 7s); }, user));
    }
    std::this_thread::sleep_for(1500ms);
    // Root connects, greets and is heard, five times over.
    for (int n = 1; n <= 5; ++n) {
        SCOPED_TRACE(n);
        const int fd = connectLikeQt(at);
        ASSERT_GE(fd, 0) << "no room for root's connection (EAGAIN for 100 ms)";
        const std::string text = "{\"root\":" + std::to_string(n) + "}";
        ASSERT_TRUE(writeAll(fd, frame("AttendedUi") + frame(text)));
        EXPECT_EQ(service->waitFor("received", 1s), "received AttendedUi " + text);
        ::close(fd);
        std::this_thread::sleep_for(200ms);
    }
    NobodyChild ui(
        [&] {
            RawClient client(at);
            if (!client.connected()) {
                return false;
            }
            client.send(frame("UnattendedUi"));
            return client.receive(frame("{\"room\":1}").size(), 5s) == frame("{\"room\":1}");
        },
        kSessionUser);
    ASSERT_EQ(service->waitFor("connected UnattendedUi", 5s), "connected UnattendedUi");
    service->command("to UnattendedUi {\"room\":1}");
    EXPECT_TRUE(ui.succeeded()) << "the session user's interface did not hear root";
    for (auto& user : storm) {
        EXPECT_TRUE(user->succeeded());
    }
    // The newest first: each holds its elders' ends of their pipes.
    ui.release();
    while (!storm.empty()) {
        storm.pop_back();
    }
}

}  // namespace
