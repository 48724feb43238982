#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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
#include "PeerProcess.h"
#include "SessionOf.h"
#include "RecordingLogger.h"
#include "support/NobodyChild.h"
#include "support/UnixSocketPeer.h"
#include "interprocess/controller/IpcLocalSocketController.h"

using interprocesstest::PeerProcess;
using interprocesstest::QueueNames;
using testsupport::NobodyChild;
using namespace std::chrono_literals;
using helper::ApplicationType;

namespace {

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
        if (onWrite) {
            onWrite(message);
        }
        if (refuse.count(message) != 0) {
            return false;
        }
        written.push_back(message);
        return true;
    }
    void setReadCallback(ReadCallback callback) override { onRead = callback; }
    void setReadBound(std::size_t) override {}
    void handled(std::size_t bytes) override { handledBytes += bytes; }
    void setWritableCallback(SocketConnectCallback callback) override { onWritable = callback; }
    void setConnectCallback(SocketConnectCallback callback) override { onConnect = callback; }
    void setDisconnectCallback(SocketConnectCallback) override {}
    void setErrorCallback(SocketConnectCallback) override {}
    void clearCallbacks() override {
        onConnect = nullptr;
        onRead = nullptr;
        onWritable = nullptr;
    }
    std::optional<uid_t> peerUser() const override { return user; }
    const std::string& getSocketName() const override { return target; }
    const std::string& getTargetName() const override { return target; }
    void requestDelete() override {}
    // Comes up (again) as a fresh connection to `name`.
    void comeUp(const std::string& name) {
        target = name;
        up = fresh = true;
        onConnect(this, name, id);
    }

    std::string target = "Unattended";
    uid_t user = 0;
    bool up = false;
    std::atomic<bool> fresh{true};
    unsigned int id = 0;
    SocketConnectCallback onConnect;
    ReadCallback onRead;
    SocketConnectCallback onWritable;
    std::size_t handledBytes = 0;
    std::set<std::string> refuse;
    std::vector<std::string> written;
    // Called with every message before it is written or refused.
    std::function<void(const std::string&)> onWrite;
};

IIpcQtSocketPlugin::IpcLocalSocketPtr unowned(ScriptedSocket& socket) {
    return IIpcQtSocketPlugin::IpcLocalSocketPtr(&socket, [](IIpcLocalSocket*) {});
}

// A plug-in whose client socket is `client` when there is one (else every
// attempt fails at once) and whose server binds a real socket file, so that
// the controller sees it listen, and accepts what the test hands it.
class ScriptedPlugin : public IIpcQtSocketPlugin {
public:
    ~ScriptedPlugin() override {
        if (bound >= 0) {
            ::close(bound);
            ::unlink(path.c_str());
        }
    }
    void initThread(QThread*) override {}
    IpcLocalSocketPtr createIpcLocalSocket(const std::string&, const std::string&,
                                           IIpcLocalSocket::SocketConnectCallback callback) const override {
        if (client == nullptr) {
            return nullptr;
        }
        client->onConnect = callback;
        return unowned(*client);
    }
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
    // Hands `socket` over as accepted and lets it greet as `name`.
    void greet(ScriptedSocket& socket, const std::string& name) const {
        accept(unowned(socket));
        socket.comeUp(name);
    }

    ScriptedSocket* client = nullptr;
    mutable ServerConnectCallback accept;
    mutable int bound = -1;
    mutable std::string path;
};

// The controller in this process over the scripted plug-in, its tasks run by
// the test.
class IpcLocalSocketControllerAlone : public ::testing::Test {
protected:
    interprocess::IpcLocalSocketController& make(const std::string& name) {
        controller = std::make_unique<interprocess::IpcLocalSocketController>(
            name, names.prefix(), *scheduler, &plugin,
            std::make_unique<testsupport::RecordingLogger>(lines));
        return *controller;
    }
    void runAll() {
        scheduler->process([&] { return scheduler->taskCount() > 0; });
    }
    bool send(const std::string& text, ApplicationType to = ApplicationType::Unattended) {
        return controller->send(to, text);
    }

    QueueNames names;
    std::shared_ptr<testsupport::RecordingLogger::Lines> lines =
        std::make_shared<testsupport::RecordingLogger::Lines>();
    std::shared_ptr<testsupport::ManualTaskScheduler> scheduler =
        std::make_shared<testsupport::ManualTaskScheduler>(lines);
    ScriptedSocket socket;
    ScriptedPlugin plugin;
    std::unique_ptr<interprocess::IpcLocalSocketController> controller;
};

TEST_F(IpcLocalSocketControllerAlone, DelaysDoubleUpToAMinuteAndWaitingTextsWarnOncePerPeer) {
    make("UnattendedUi").setReconnectDelayUnit(0ms);
    std::vector<bool> outcomes;
    for (int attempt = 0; attempt < 9; ++attempt) {
        controller->connectToService("Unattended", [&](bool up) { outcomes.push_back(up); });
        runAll();
    }
    std::vector<int> delays;
    int immediately = 0;
    for (const auto& line : lines->all()) {
        int delay = 0;
        immediately += line.text == "Call connect immediately to Unattended";
        if (std::sscanf(line.text.c_str(), "Call connect to Unattended after %d seconds", &delay) == 1) {
            delays.push_back(delay);
        }
    }
    EXPECT_EQ(1, immediately);
    EXPECT_EQ((std::vector<int>{1, 2, 4, 8, 16, 32, 60, 60}), delays);
    EXPECT_EQ(std::vector<bool>(9, false), outcomes);

    EXPECT_FALSE(send(""));
    for (int n = 0; n < 51; ++n) {
        EXPECT_FALSE(send("{}"));
    }
    EXPECT_FALSE(send("{}", ApplicationType::Attended));
    EXPECT_FALSE(send("{}", ApplicationType::Attended));
    EXPECT_EQ(1, lines->count(common::loglevel::warn, "Too many pending message to Unattended: Size: 50"));
    for (const char* peer : {"Unattended", "Attended"}) {
        EXPECT_EQ(1, lines->count(common::loglevel::warn,
                                  std::string("No valid socket to ") + peer +
                                      ", cannot send message: {}. Add to pending msgs."))
            << peer;
    }
    EXPECT_TRUE(controller->stop());
    EXPECT_FALSE(controller->stop());
}

TEST_F(IpcLocalSocketControllerAlone, WaitingTextsGoOutFirstInOrderAndWhatFailsIsKeptInOrder) {
    plugin.client = &socket;
    make("UnattendedUi");
    send("1");
    send("2");
    controller->connectToService("Unattended", nullptr);
    socket.comeUp("Unattended");
    // The greeting, and the link is up with the waiting texts gone out: a
    // text sent as soon as the link is heard of goes straight out behind them.
    scheduler->runOne("", true);
    EXPECT_EQ((std::vector<std::string>{"UnattendedUi", "1", "2"}), socket.written);
    EXPECT_TRUE(send("3"));
    runAll();
    EXPECT_EQ((std::vector<std::string>{"UnattendedUi", "1", "2", "3"}), socket.written);

    EXPECT_TRUE(send("4"));
    socket.refuse = {"5"};
    EXPECT_FALSE(send("5"));
    EXPECT_FALSE(send("6"));
    socket.comeUp("Unattended");
    runAll();
    EXPECT_EQ((std::vector<std::string>{"UnattendedUi", "1", "2", "3", "4", "UnattendedUi"}),
              socket.written);
    socket.refuse.clear();
    socket.comeUp("Unattended");
    runAll();
    EXPECT_EQ((std::vector<std::string>{"UnattendedUi", "1", "2", "3", "4", "UnattendedUi",
                                        "UnattendedUi", "5", "6"}),
              socket.written);
    controller->stop();
}

// Another thread sends while the waiting texts go out: what fails of them goes
// back in front of what was sent meanwhile.
TEST_F(IpcLocalSocketControllerAlone, WaitingTextsThatFailGoBackInFrontOfThoseSentMeanwhile) {
    plugin.client = &socket;
    make("UnattendedUi");
    for (const char* text : {"a", "b", "c"}) {
        send(text);
    }
    socket.onWrite = [this](const std::string& message) {
        if (message == "a") {
            EXPECT_FALSE(send("late"));
        }
    };
    socket.refuse = {"b"};
    controller->connectToService("Unattended", nullptr);
    socket.comeUp("Unattended");
    runAll();
    EXPECT_EQ((std::vector<std::string>{"UnattendedUi", "a"}), socket.written);
    socket.onWrite = nullptr;
    socket.refuse.clear();
    socket.comeUp("Unattended");
    runAll();
    EXPECT_EQ((std::vector<std::string>{"UnattendedUi", "a", "UnattendedUi", "b", "c", "late"}),
              socket.written);
    controller->stop();
}

// The socket has room again, and the controller's queue hears of it, while a
// text it refused is still on its way into the waiting list: the text goes
// out all the same, without waiting for another send.
TEST_F(IpcLocalSocketControllerAlone, ATextRefusedJustAsRoomComesBackIsSentWithoutAnotherSend) {
    plugin.client = &socket;
    make("UnattendedUi");
    controller->connectToService("Unattended", nullptr);
    socket.comeUp("Unattended");
    runAll();
    socket.refuse = {"1"};
    bool raced = false;
    socket.onWrite = [&](const std::string& message) {
        if (message == "1" && !raced) {
            raced = true;
            socket.onWritable(&socket, "Unattended", socket.id);
            runAll();
        }
    };
    EXPECT_FALSE(send("1"));
    ASSERT_TRUE(raced);
    socket.refuse.clear();
    runAll();
    EXPECT_EQ((std::vector<std::string>{"UnattendedUi", "1"}), socket.written);
    controller->stop();
}

TEST_F(IpcLocalSocketControllerAlone, AStaleSocketOfThePeerDoesNotHoldBackItsSuccessor) {
    ScriptedSocket successor;
    ASSERT_TRUE(make("Unattended").start());
    plugin.greet(socket, "UnattendedUi");
    runAll();
    // The old process is gone, its end not reported yet; its successor greets.
    socket.up = false;
    EXPECT_FALSE(send("1", ApplicationType::UnattendedUi));
    plugin.greet(successor, "UnattendedUi");
    runAll();
    EXPECT_TRUE(send("2", ApplicationType::UnattendedUi));
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), successor.written);
    EXPECT_TRUE(socket.written.empty());
    controller->stop();
}

// What the controller tells its observer of messages, in order.
class Received : public interprocess::IIpcControllerClient {
public:
    void onIpcReady(const std::string) override {}
    void onParticipantConnected(const std::string) override {}
    void onParticipantDisconnected(const std::string) override {}
    void onMessageReceived(const ApplicationType from, const std::string json) override {
        texts.push_back(std::string(helper::toString(from)) + " " + json);
    }
    void onSyncMessageReceived(const ApplicationType, const std::string) override {}

    std::vector<std::string> texts;
};

TEST_F(IpcLocalSocketControllerAlone, OnePeersStormDoesNotDelayAnothersMessagePastTheNextTask) {
    ScriptedSocket other;
    ASSERT_TRUE(make("Unattended").start());
    plugin.greet(socket, "UnattendedUi");
    plugin.greet(other, "AttendedUi");
    runAll();
    Received received;
    controller->addObserver(&received);
    constexpr int kStorm = 3 * static_cast<int>(interprocess::IpcLocalSocketController::kMailboxBatch);
    std::size_t stormBytes = 0;
    for (int n = 0; n < kStorm; ++n) {
        const std::string text = "{\"storm\":" + std::to_string(n) + "}";
        stormBytes += text.size();
        socket.onRead(&socket, "UnattendedUi", text);
    }
    other.onRead(&other, "AttendedUi", "{\"other\":1}");
    // The next task that takes the reports takes the other peer's too.
    scheduler->runOne("", true);
    EXPECT_NE(std::find(received.texts.begin(), received.texts.end(), "AttendedUi {\"other\":1}"),
              received.texts.end())
        << received.texts.size() << " messages handled first";
    runAll();
    ASSERT_EQ(received.texts.size(), static_cast<std::size_t>(kStorm) + 1);
    int next = 0;
    for (const auto& text : received.texts) {
        if (text.rfind("UnattendedUi ", 0) == 0) {
            EXPECT_EQ(text, "UnattendedUi {\"storm\":" + std::to_string(next++) + "}");
        }
    }
    // Each handled message is given back to its socket's read bound.
    EXPECT_EQ(socket.handledBytes, stormBytes);
    EXPECT_EQ(other.handledBytes, std::string("{\"other\":1}").size());
    controller->removeObserver(&received);
    controller->stop();
}

TEST_F(IpcLocalSocketControllerAlone, ATextWaitingForAUserInterfaceGoesOnlyToTheUserItWasMeantFor) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the session's user counts for a root process only";
    }
    ScriptedSocket later;
    ASSERT_TRUE(make("Unattended").start());
    {
        const interprocesstest::SessionOf session(1001);
        EXPECT_FALSE(send("for 1001", ApplicationType::UnattendedUi));
    }
    {
        // Another user's session now: its interface links, and gets only
        // what is meant for it.
        const interprocesstest::SessionOf session(1002);
        socket.user = 1002;
        plugin.greet(socket, "UnattendedUi");
        runAll();
        EXPECT_FALSE(send("for 1002", ApplicationType::UnattendedUi));
        runAll();
        EXPECT_EQ(socket.written, std::vector<std::string>{"for 1002"});
        socket.up = false;
    }
    const interprocesstest::SessionOf session(1001);
    later.user = 1001;
    plugin.greet(later, "UnattendedUi");
    runAll();
    EXPECT_EQ(later.written, std::vector<std::string>{"for 1001"});
    controller->stop();
}

}  // namespace
