#include <set>
#include <thread>

#include "LocalSocket.h"
#include "LocalSocketFixture.h"
#include "LocalSocketServer.h"
#include "QtHandle.h"
#include "QtMessageRecorder.h"

namespace {

class LocalSocketTest : public LocalSocketFixture {
protected:
    // A server whose handler records every message in `heard_`.
    auto recordingServer() {
        auto server = platform_->createLocalSocketServer(path("server"));
        server->setHandler([this](const std::string& message) { heard_.add(message); });
        return server;
    }
    // A client of the server that records what it receives; with an interval it is made
    // directly, retrying that often, else by the platform.
    auto recordingClient(Events& received, int interval = 0) {
        auto client = interval == 0 ? platform_->createLocalSocket()
                                    : makeQtHandle<ILocalSocket, LocalSocket>(
                                          platform_->internals().objects(),
                                          new LocalSocket(qtThread(), interval),
                                          [](LocalSocket& socket) { socket.resetHandler(); });
        client->setHandler([&received](const std::string& message) { received.add(message); });
        client->connect(path("server"));
        return client;
    }

    Events heard_;
};

TEST_F(LocalSocketTest, MessagesKeptWhileTheServerIsDownGoFirstAndInOrder) {
    Events unused;
    auto client = recordingClient(unused, 60000);  // only the writes connect
    for (const char* message : {"one", "two", "three"}) client->write(message);
    onQtThread();
    // The server starts, the client connects and writes again, all in one go on the Qt
    // thread: the kept messages must not fall behind the new one.
    const auto release = holdQtThread();
    auto server = recordingServer();
    client->connect(path("server"));
    client->write("four");
    release();
    ASSERT_TRUE(heard_.waitFor(4));
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three", "four"}), heard_.all());
}

TEST_F(LocalSocketTest, TheServerHearsEveryClientAndWritesToAllOfThem) {
    auto server = recordingServer();
    Events first, second;
    auto a = recordingClient(first);
    auto b = recordingClient(second);
    a->write("from a");
    b->write("from b");
    ASSERT_TRUE(heard_.waitFor(2));
    const auto heard = heard_.all();
    EXPECT_EQ((std::set<std::string>{"from a", "from b"}), std::set(heard.begin(), heard.end()));
    // Both frames leave in one go and may arrive in one read: both count.
    const auto release = holdQtThread();
    server->writeData("to all");
    server->writeData("again");
    release();
    for (Events* received : {&first, &second}) {
        ASSERT_TRUE(received->waitFor(2));
        EXPECT_EQ((std::vector<std::string>{"to all", "again"}), received->all());
    }
}

TEST_F(LocalSocketTest, TheServerReadsFramesWholeAndDropsAnUnreadableClient) {
    auto server = recordingServer();
    onQtThread();
    RawPeer peer(path("server"));
    ASSERT_TRUE(peer.connected());
    const QByteArray split = frame("split");
    peer.send(frame("one") + frame("") + frame("two") + split.left(5));
    std::this_thread::sleep_for(50ms);
    peer.send(split.mid(5) + frame("three") + QByteArray::fromHex("00000001") + frame("lost"));
    EXPECT_TRUE(peer.closedWithin(5s));
    ASSERT_TRUE(heard_.waitFor(4));
    EXPECT_EQ((std::vector<std::string>{"one", "two", "split", "three"}), heard_.all());
}

TEST_F(LocalSocketTest, ConnectionErrorsAreLoggedOncePerPeriod) {
    QtMessageRecorder recorder;
    Events unused;
    auto client = recordingClient(unused, 10);  // nobody listens: fails every 10 ms
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(1, recorder.count("Local socket anomaly occurred:"));
}

}  // namespace
