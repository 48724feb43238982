#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ManualTaskScheduler.h"
#include "RecordingLogger.h"
#include "interprocess/Connection.h"

using namespace interprocess;

namespace {

// A data link that keeps the completions of what is sent, for the test to
// answer later.
class HeldSends : public IAsynchronousDataLink {
public:
    bool init() override { return true; }
    void send(const std::string&, const std::string& text, std::function<void(bool)> callback, bool,
              bool) override {
        texts.push_back(text);
        callbacks.push_back(std::move(callback));
    }
    bool sendSync(const std::string, const std::string) override { return false; }
    std::string name() override { return "Own"; }
    bool stop() override { return markStopped(); }

    std::vector<std::string> texts;
    std::vector<std::function<void(bool)>> callbacks;
};

// Records what the connection hands its owner.
class Heard : public IConnectionDelegate {
public:
    void onConnectionDisconnected(IConnection&) override {}
    void onConnectionConnecting(IConnection&) override {}
    void onConnectionConnected(IConnection&) override {}
    void onConnectionDisconnecting(IConnection&) override {}
    void onConnectionListening(IConnection&) override {}
    void onConnectionRequest(IConnection&, const std::string) override {}
    void onConnectionDataReceived(IConnection&, const std::string text) override {
        texts.push_back(text);
    }
    void onConnectionSyncDataReceived(IConnection&, const std::string text) override {
        texts.push_back("sync " + text);
    }

    std::vector<std::string> texts;
};

}  // namespace

TEST(ConnectionTest, AConnectionTakesTheRecordsOfItsOwnPeerOnlyAndAListenerThoseForTheListener) {
    auto lines = std::make_shared<testsupport::RecordingLogger::Lines>();
    auto scheduler = std::make_shared<testsupport::ManualTaskScheduler>(lines);
    auto link = std::make_shared<HeldSends>();
    Heard heard;
    Connection connection(link, *scheduler, "Peer",
                          std::make_unique<testsupport::RecordingLogger>(lines));
    connection.setDelegate(&heard);
    for (int i = 0; i < 10; ++i) {
        scheduler->runOne("", true);
    }
    const struct {
        const char* from;
        bool toListener;
        const char* text;
    } records[] = {
        {"Other", false, "from another peer"},
        {"Peer", true, "for the listener"},
        {"", false, "from nobody named"},
        {"Peerx", false, "from a longer name"},
        {"Peer", false, "from the peer"},
    };
    for (const auto& record : records) {
        connection.onDataLinkMessage(record.from, record.toListener, protocol::Data{record.text});
        bool taken = false;
        connection.onDataLinkSyncMessage(record.from, record.toListener, protocol::Data{record.text},
                                         taken);
        EXPECT_EQ(taken, std::string(record.from) == "Peer" && !record.toListener) << record.text;
    }
    for (int i = 0; i < 20; ++i) {
        scheduler->runOne("", true);
    }
    EXPECT_EQ(heard.texts, (std::vector<std::string>{"sync from the peer", "from the peer"}));
    connection.setDelegate(nullptr);
}

TEST(ConnectionTest, ASendResultArrivingAfterTheConnectionIsGoneOnlyAnswersTheCaller) {
    auto lines = std::make_shared<testsupport::RecordingLogger::Lines>();
    auto scheduler = std::make_shared<testsupport::ManualTaskScheduler>(lines);
    auto link = std::make_shared<HeldSends>();
    std::vector<bool> answers;
    auto connection = std::make_unique<Connection>(
        link, *scheduler, std::make_unique<testsupport::RecordingLogger>(lines));
    connection->connect("Peer", [&](bool ok) { answers.push_back(ok); });
    for (int i = 0; i < 10 && link->texts.empty(); ++i) {
        scheduler->runOne("", true);
    }
    ASSERT_EQ(link->texts, std::vector<std::string>{R"({"command":{"to":"Peer","from":"Own","$":"ConnectTo"}})"});

    connection.reset();
    EXPECT_TRUE(answers.empty());
    // The link reports the ConnectTo queued after the connection is gone.
    link->callbacks.front()(true);
    link->callbacks.clear();
    EXPECT_EQ(answers, std::vector<bool>{false});
}
