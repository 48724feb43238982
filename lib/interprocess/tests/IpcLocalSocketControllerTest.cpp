#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ManualTaskScheduler.h"
#include "PeerProcess.h"
#include "RecordingLogger.h"
#include "interprocess/controller/IpcLocalSocketController.h"

using interprocesstest::PeerProcess;
using interprocesstest::QueueNames;
using namespace std::chrono_literals;
using helper::ApplicationType;

namespace {

// A local-socket client speaking raw frames: a big-endian byte count, then
// the text in big-endian UTF-16.
class RawClient {
public:
    explicit RawClient(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send(const std::string& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
                  ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL));
    }
    bool closedWithin(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buffer[256];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, 50) > 0 && ::recv(fd_, buffer, sizeof buffer, 0) <= 0) {
                return true;
            }
        }
        return false;
    }

private:
    int fd_;
    bool connected_ = false;
};

std::string header(std::uint32_t count) {
    return {static_cast<char>(count >> 24), static_cast<char>(count >> 16),
            static_cast<char>(count >> 8), static_cast<char>(count)};
}

std::string frame(const std::string& ascii) {
    std::string bytes = header(static_cast<std::uint32_t>(ascii.size() * 2));
    for (const char c : ascii) {
        bytes += '\0';
        bytes += c;
    }
    return bytes;
}

// Two or more ipc-peer processes with the controller over local sockets,
// under an installation id of the test's own; the socket files left behind
// (by a killed peer) are removed at the end.
class IpcLocalSocketControllerTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const char* type : {"Unattended", "UnattendedUi"}) {
            const std::string at = path(type);
            struct stat status {};
            if (::lstat(at.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
                status.st_uid == ::geteuid()) {
                ::unlink(at.c_str());
            }
        }
    }

    std::unique_ptr<PeerProcess> peer(const std::string& type, const std::string& options = "") {
        auto peer = std::make_unique<PeerProcess>();
        peer->command("sockets " + names.prefix() + " " + type + " " + options);
        EXPECT_EQ(peer->waitFor("started"), "started 1") << type;
        EXPECT_EQ(peer->waitFor("listening"), "listening " + type) << type;
        return peer;
    }
    std::string path(const std::string& type) const {
        return "/var/tmp/" + type + "_" + names.prefix();
    }
    static bool saw(const PeerProcess& peer, const std::string& prefix) {
        for (const auto& line : peer.seen) {
            if (line.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    QueueNames names;
};

TEST_F(IpcLocalSocketControllerTest, OnlyTheUiConnectsAndItsWaitingTextsArriveFirstInOrder) {
    auto service = peer("Unattended");
    auto ui = peer("UnattendedUi");
    service->command("connect UnattendedUi");
    for (int n = 1; n <= 3; ++n) {
        ui->command("to Unattended {\"n\":" + std::to_string(n) + "}");
        EXPECT_EQ(ui->waitFor("to"), "to 0");
    }
    ui->command("connect Unattended");
    EXPECT_EQ(ui->waitFor("connected"), "connected Unattended");
    EXPECT_EQ(ui->waitFor("connect "), "connect Unattended 1");
    EXPECT_TRUE(saw(*ui, ">>creating a socket:" + path("Unattended")));
    // Queued behind the waiting ones until they are out.
    ui->command("to Unattended {\"n\":4}");

    EXPECT_EQ(service->waitFor("connected"), "connected UnattendedUi");
    // The service's own request is answered by the UI's connection.
    EXPECT_EQ(service->waitFor("connect "), "connect UnattendedUi 1");
    for (int n = 1; n <= 4; ++n) {
        EXPECT_EQ(service->waitFor("received"),
                  "received UnattendedUi {\"n\":" + std::to_string(n) + "}");
    }
    service->command("to UnattendedUi {\"back\":1}");
    EXPECT_EQ(ui->waitFor("received"), "received Unattended {\"back\":1}");
    ui->command("to Unattended {\"n\":5}");
    EXPECT_EQ(ui->waitFor("to 1"), "to 1");
    EXPECT_EQ(service->waitFor("received"), "received UnattendedUi {\"n\":5}");
    EXPECT_FALSE(saw(*service, ">>creating a socket")) << "the service connected";
}

TEST_F(IpcLocalSocketControllerTest, AttemptsToConnectWaitZeroOneTwoFourUnitsThenStartOver) {
    constexpr auto unit = 150ms;
    auto ui = peer("UnattendedUi", std::to_string(unit.count()));
    const auto attempt = [&](const std::string& outcome) {
        const auto begin = std::chrono::steady_clock::now();
        ui->command("connect Unattended");
        EXPECT_EQ(ui->waitFor("connect "), "connect Unattended " + outcome);
        return std::chrono::steady_clock::now() - begin;
    };
    for (const int units : {0, 1, 2, 4}) {
        const auto took = attempt("0");
        EXPECT_GE(took, units * unit) << units << " units";
        EXPECT_LT(took, units * unit + 2s) << units << " units";
    }
    auto service = peer("Unattended");
    EXPECT_GE(attempt("1"), 8 * unit);
    // A link that came up starts the delays over.
    service->command("drop UnattendedUi close");
    ASSERT_EQ(ui->waitFor("disconnected"), "disconnected Unattended");
    EXPECT_LT(attempt("1"), unit);
}

TEST_F(IpcLocalSocketControllerTest, AKilledServiceIsSucceededAtItsPathAndTheLinkComesBack) {
    auto service = peer("Unattended");
    auto ui = peer("UnattendedUi");
    ui->command("connect Unattended");
    ASSERT_EQ(ui->waitFor("connect "), "connect Unattended 1");

    service->kill();
    EXPECT_EQ(ui->waitFor("disconnected"), "disconnected Unattended");
    struct stat status {};
    ASSERT_EQ(0, ::lstat(path("Unattended").c_str(), &status)) << "no stale socket file";
    ui->command("to Unattended {\"again\":1}");
    EXPECT_EQ(ui->waitFor("to"), "to 0");

    auto successor = peer("Unattended");
    ui->command("connect Unattended");
    EXPECT_EQ(ui->waitFor("connect "), "connect Unattended 1");
    EXPECT_EQ(successor->waitFor("received"), "received UnattendedUi {\"again\":1}");
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

TEST_F(IpcLocalSocketControllerTest, DisconnectApplicationClosesTheLinkOnlyWhenAskedTo) {
    auto service = peer("Unattended");
    auto ui = peer("UnattendedUi");
    ui->command("connect Unattended");
    ASSERT_EQ(service->waitFor("connected"), "connected UnattendedUi");
    service->command("drop UnattendedUi");
    EXPECT_FALSE(ui->waitFor("disconnected", 500ms));
    service->command("drop UnattendedUi close");
    EXPECT_EQ(service->waitFor("disconnected"), "disconnected UnattendedUi");
    EXPECT_EQ(ui->waitFor("disconnected"), "disconnected Unattended");
    service->command("drop UnattendedUi close");
    EXPECT_FALSE(service->waitFor("disconnected", 300ms)) << "told twice";
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

// A plug-in whose sockets never come: every attempt fails at once.
class NoSockets : public IIpcQtSocketPlugin {
public:
    void initThread(QThread*) override {}
    IpcLocalSocketPtr createIpcLocalSocket(const std::string&, const std::string&,
                                           IIpcLocalSocket::SocketConnectCallback) const override {
        return nullptr;
    }
    IpcLocalServerPtr createIpcLocalServer(const std::string&,
                                           ServerConnectCallback) const override {
        return nullptr;
    }
};

TEST(IpcLocalSocketControllerAlone, DelaysDoubleUpToAMinuteAndWaitingTextsWarnOncePerPeer) {
    auto lines = std::make_shared<testsupport::RecordingLogger::Lines>();
    auto scheduler = std::make_shared<testsupport::ManualTaskScheduler>(lines);
    NoSockets plugin;
    interprocess::IpcLocalSocketController controller(
        "UnattendedUi", "alone", *scheduler, &plugin,
        std::make_unique<testsupport::RecordingLogger>(lines));
    controller.setReconnectDelayUnit(0ms);
    std::vector<bool> outcomes;
    for (int attempt = 0; attempt < 9; ++attempt) {
        controller.connectToService("Unattended", [&](bool up) { outcomes.push_back(up); });
        scheduler->process([&] { return scheduler->taskCount() > 0; });
    }
    std::vector<int> delays;
    int immediately = 0;
    for (const auto& line : lines->all()) {
        int delay = 0;
        immediately += line.text == "Call connect immediately to Unattended";
        if (std::sscanf(line.text.c_str(), "Call connect to Unattended after %d seconds", &delay) ==
            1) {
            delays.push_back(delay);
        }
    }
    EXPECT_EQ(1, immediately);
    EXPECT_EQ((std::vector<int>{1, 2, 4, 8, 16, 32, 60, 60}), delays);
    EXPECT_EQ(std::vector<bool>(9, false), outcomes);

    EXPECT_FALSE(controller.send(ApplicationType::Unattended, ""));
    for (int n = 0; n < 51; ++n) {
        EXPECT_FALSE(controller.send(ApplicationType::Unattended, "{}"));
    }
    EXPECT_FALSE(controller.send(ApplicationType::Attended, "{}"));
    EXPECT_FALSE(controller.send(ApplicationType::Attended, "{}"));
    EXPECT_EQ(1, lines->count(common::loglevel::warn,
                              "Too many pending message to Unattended: Size: 50"));
    for (const char* peer : {"Unattended", "Attended"}) {
        EXPECT_EQ(1, lines->count(common::loglevel::warn,
                                  std::string("No valid socket to ") + peer +
                                      ", cannot send message: {}. Add to pending msgs."))
            << peer;
    }
    EXPECT_TRUE(controller.stop());
    EXPECT_FALSE(controller.stop());
}

// A socket whose connection the test makes, recording what is written and
// refusing the writes it is told to refuse.
class ScriptedSocket : public IIpcLocalSocket {
public:
    void connect() override {}
    bool isValid() const override { return up; }
    bool isConnected() const override { return up; }
    bool isFresh() const override { return fresh; }
    bool takeFresh() override { return fresh.exchange(false); }
    unsigned int getId() const override { return id; }
    void setId(unsigned int value) override { id = value; }
    bool write(const std::string& message) override { return writeData(message, true); }
    bool writeData(const std::string& message, bool) override {
        if (refuse.count(message) != 0) {
            return false;
        }
        written.push_back(message);
        return true;
    }
    void setReadCallback(ReadCallback) override {}
    void setConnectCallback(SocketConnectCallback callback) override { onConnect = callback; }
    void setDisconnectCallback(SocketConnectCallback) override {}
    void setErrorCallback(SocketConnectCallback) override {}
    void clearCallbacks() override { onConnect = nullptr; }
    const std::string& getSocketName() const override { return target; }
    const std::string& getTargetName() const override { return target; }
    void requestDelete() override {}

    std::string target = "Unattended";
    bool up = false;
    std::atomic<bool> fresh{true};
    unsigned int id = 0;
    SocketConnectCallback onConnect;
    std::set<std::string> refuse;
    std::vector<std::string> written;
};

class OneScriptedSocket : public NoSockets {
public:
    IpcLocalSocketPtr createIpcLocalSocket(
        const std::string&, const std::string&,
        IIpcLocalSocket::SocketConnectCallback callback) const override {
        socket.onConnect = callback;
        return IpcLocalSocketPtr(&socket, [](IIpcLocalSocket*) {});
    }
    mutable ScriptedSocket socket;
};

TEST(IpcLocalSocketControllerAlone, WaitingTextsGoOutFirstInOrderAndWhatFailsIsKeptInOrder) {
    auto lines = std::make_shared<testsupport::RecordingLogger::Lines>();
    auto scheduler = std::make_shared<testsupport::ManualTaskScheduler>(lines);
    OneScriptedSocket plugin;
    interprocess::IpcLocalSocketController controller(
        "UnattendedUi", "alone", *scheduler, &plugin,
        std::make_unique<testsupport::RecordingLogger>(lines));
    ScriptedSocket& socket = plugin.socket;
    const auto runAll = [&] { scheduler->process([&] { return scheduler->taskCount() > 0; }); };
    controller.send(ApplicationType::Unattended, "1");
    controller.send(ApplicationType::Unattended, "2");
    controller.connectToService("Unattended", nullptr);
    socket.up = true;
    socket.onConnect(&socket, "Unattended", socket.id);
    // The greeting, then the link is up and the waiting texts are sent by a
    // task of their own: a text sent before that task runs waits behind them.
    scheduler->runOne("", true);
    EXPECT_FALSE(controller.send(ApplicationType::Unattended, "3"));
    runAll();
    EXPECT_EQ((std::vector<std::string>{"UnattendedUi", "1", "2", "3"}), socket.written);

    EXPECT_TRUE(controller.send(ApplicationType::Unattended, "4"));
    socket.refuse = {"5"};
    EXPECT_FALSE(controller.send(ApplicationType::Unattended, "5"));
    EXPECT_FALSE(controller.send(ApplicationType::Unattended, "6"));
    socket.onConnect(&socket, "Unattended", socket.id);
    socket.fresh = true;
    runAll();
    EXPECT_EQ((std::vector<std::string>{"UnattendedUi", "1", "2", "3", "4", "UnattendedUi"}),
              socket.written);
    socket.refuse.clear();
    socket.onConnect(&socket, "Unattended", socket.id);
    socket.fresh = true;
    runAll();
    EXPECT_EQ((std::vector<std::string>{"UnattendedUi", "1", "2", "3", "4", "UnattendedUi",
                                        "UnattendedUi", "5", "6"}),
              socket.written);
    controller.stop();
}

// A server that binds a real socket file, so that the controller sees it
// listen, and hands over the sockets the test gives it.
class ScriptedServer : public NoSockets {
public:
    IpcLocalServerPtr createIpcLocalServer(const std::string& name,
                                           ServerConnectCallback callback) const override {
        accept = callback;
        bound = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, name.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(0, ::bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address));
        path = name;
        return nullptr;
    }
    ~ScriptedServer() override {
        ::close(bound);
        ::unlink(path.c_str());
    }
    // Hands `socket` over as accepted and lets it greet as `name`.
    void greet(ScriptedSocket& socket, const std::string& name) const {
        accept(IpcLocalSocketPtr(&socket, [](IIpcLocalSocket*) {}));
        socket.target = name;
        socket.up = true;
        socket.onConnect(&socket, name, socket.id);
    }
    mutable ServerConnectCallback accept;
    mutable int bound = -1;
    mutable std::string path;
};

TEST(IpcLocalSocketControllerAlone, AStaleSocketOfThePeerDoesNotHoldBackItsSuccessor) {
    auto lines = std::make_shared<testsupport::RecordingLogger::Lines>();
    auto scheduler = std::make_shared<testsupport::ManualTaskScheduler>(lines);
    ScriptedServer plugin;
    ScriptedSocket old;
    ScriptedSocket successor;
    interprocess::IpcLocalSocketController controller(
        "Unattended", QueueNames().prefix(), *scheduler, &plugin,
        std::make_unique<testsupport::RecordingLogger>(lines));
    ASSERT_TRUE(controller.start());
    const auto runAll = [&] { scheduler->process([&] { return scheduler->taskCount() > 0; }); };
    plugin.greet(old, "UnattendedUi");
    runAll();
    // The old process is gone, its end not reported yet; its successor greets.
    old.up = false;
    EXPECT_FALSE(controller.send(ApplicationType::UnattendedUi, "1"));
    plugin.greet(successor, "UnattendedUi");
    runAll();
    EXPECT_TRUE(controller.send(ApplicationType::UnattendedUi, "2"));
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), successor.written);
    EXPECT_TRUE(old.written.empty());
    controller.stop();
}

}  // namespace
