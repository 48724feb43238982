#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "DataLinkTestSupport.h"
#include "ManualTaskScheduler.h"
#include "PeerProcess.h"
#include "RecordingLogger.h"
#include "SessionOf.h"
#include "support/NobodyChild.h"
#include "interprocess/AsynchronousDataLink.h"
#include "interprocess/DataLink.h"
#include "interprocess/JsonSerialization.h"
#include "interprocess/SharedRecordQueue.h"
#include "interprocess/UserInboxes.h"

using namespace interprocess;
using interprocesstest::PeerProcess;
using interprocesstest::QueueNames;
using testsupport::NobodyChild;
using testsupport::RecordingLogger;

namespace {

std::string dataText(const std::string& json) {
    std::string text;
    json_serialize(protocol::Command(protocol::Data{json}), text);
    return text;
}

// Keeps what the link delivers.
class Recorder : public IAsynchronousDataLinkClient {
public:
    void onDataLinkMessage(const std::string from, bool, const protocol::Command message) override {
        const auto* data = std::get_if<protocol::Data>(&message);
        received.push_back(from + ":" + (data ? data->json : "?"));
    }
    void onDataLinkSyncMessage(const std::string, bool, const protocol::Command,
                               bool& taken) override {
        taken = true;
    }
    std::vector<std::string> received;
};

class AsynchronousDataLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        link = AsynchronousDataLink::create(
            DataLink::create(names.prefix(), "Test", std::make_unique<RecordingLogger>(lines)),
            scheduler->createQueue("AsynchronousDataLink"), std::make_unique<RecordingLogger>(lines));
        names.queue("Test");
        link->addObserver(&recorder);
        ASSERT_TRUE(link->init());
    }
    void TearDown() override {
        link->removeObserver(&recorder);
        link.reset();
    }

    // How long a synchronous send to `to` takes.
    std::chrono::milliseconds timedSendSync(const std::string& to, bool& result) {
        const auto start = std::chrono::steady_clock::now();
        result = link->sendSync(to, dataText("sync"));
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    }

    QueueNames names;
    std::shared_ptr<RecordingLogger::Lines> lines = std::make_shared<RecordingLogger::Lines>();
    std::shared_ptr<testsupport::ManualTaskScheduler> scheduler =
        std::make_shared<testsupport::ManualTaskScheduler>(lines);
    Recorder recorder;
    std::shared_ptr<AsynchronousDataLink> link;
};

}  // namespace

TEST_F(AsynchronousDataLinkTest, OnePollDeliversEveryWaitingRecordInOrder) {
    auto sender = DataLink::create(names.prefix(), "Peer", std::make_unique<RecordingLogger>(lines));
    names.queue("Peer");
    ASSERT_TRUE(sender->init(AsynchronousDataLink::kMaxMsgCount, AsynchronousDataLink::kMaxMsgSize));
    std::vector<std::string> expected;
    for (int i = 0; i < 30; ++i) {
        const auto text = dataText(std::to_string(i));
        ASSERT_TRUE(sender->send("Test", {text.begin(), text.end()}, false, i, false, false, true));
        expected.push_back("Peer:" + std::to_string(i));
    }
    scheduler->runOne("", true);  // the poll
    EXPECT_EQ(recorder.received, expected);
}

TEST_F(AsynchronousDataLinkTest, UsersHoldingTheirInboxesLocksCostThePollsNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "other users need a root test";
    const interprocesstest::SessionOf session(NobodyChild::kUid);
    const std::string queue = names.queue("Test");
    // Ten users each send a record through their inbox and hold the inbox's lock.
    std::vector<std::unique_ptr<NobodyChild>> holders;
    for (uid_t user = NobodyChild::kUid - 9; user <= NobodyChild::kUid; ++user) {
        holders.push_back(std::make_unique<NobodyChild>([&] {
            auto own = DataLink::create(names.prefix(), "AttendedUi",
                                        std::make_unique<RecordingLogger>(lines));
            const auto text = dataText("held");
            if (!own->init(AsynchronousDataLink::kMaxMsgCount, AsynchronousDataLink::kMaxMsgSize) ||
                !own->send("Test", {text.begin(), text.end()}, false, 1, false, false, true)) {
                return false;
            }
            const auto inbox =
                SharedRecordQueue::namesStartingWith(UserInboxes::prefixFor(queue, user));
            return inbox.size() == 1 && datalinktest::holdLockOf(inbox[0]);
        }, user));
        ASSERT_TRUE(holders.back()->succeeded()) << user;
    }
    auto sender = DataLink::create(names.prefix(), "Peer", std::make_unique<RecordingLogger>(lines));
    names.queue("Peer");
    ASSERT_TRUE(sender->init(AsynchronousDataLink::kMaxMsgCount, AsynchronousDataLink::kMaxMsgSize));
    std::vector<std::string> expected;
    for (int i = 0; i < 60; ++i) {
        const auto text = dataText(std::to_string(i));
        ASSERT_TRUE(sender->send("Test", {text.begin(), text.end()}, false, i, false, false, true));
        expected.push_back("Peer:" + std::to_string(i));
    }
    // A poll waits for no inbox, and the own queue's records arrive with it (or with the one
    // after, on a slow machine).
    const auto start = std::chrono::steady_clock::now();
    scheduler->runOne("", true);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5 * SharedRecordQueue::kLockWait);
    if (recorder.received.size() < expected.size()) {
        scheduler->runOne("", true);
    }
    EXPECT_EQ(recorder.received, expected);
    // The session user's held record arrives once the locks are given up (the last holder
    // first: each later one keeps the earlier ones' release pipes).
    while (!holders.empty()) {
        holders.pop_back();
    }
    scheduler->runOne("", true);
    EXPECT_EQ(recorder.received.back(), "AttendedUi:held");
}

TEST_F(AsynchronousDataLinkTest, RecordsTravelBothWaysWithAPeerProcessThatAcknowledgesSync) {
    PeerProcess peer;
    peer.command("link " + names.prefix() + " Peer");
    names.queue("Peer");
    ASSERT_TRUE(peer.waitFor("ready"));
    bool result = false;
    EXPECT_LT(timedSendSync("Peer", result), std::chrono::seconds(2));
    EXPECT_TRUE(result);
    EXPECT_EQ(peer.waitFor("syncmessage"), "syncmessage Test " + dataText("sync"));
    peer.command("send Test " + dataText("hello"));
    ASSERT_EQ(peer.waitFor("sent"), "sent 1");
    scheduler->runOne("", true);  // the poll
    EXPECT_EQ(recorder.received, std::vector<std::string>{"Peer:hello"});

    // To a process without a queue: at once, without waiting for a timeout.
    EXPECT_LT(timedSendSync("Nobody", result), std::chrono::seconds(1));
    EXPECT_FALSE(result);
}

TEST_F(AsynchronousDataLinkTest, SendSyncFailsAfterSixSecondsWhenThePeerDoesNotAnswer) {
    for (const std::string option : {"stopped", "refuse"}) {
        PeerProcess peer;
        peer.command("link " + names.prefix() + " Peer " + option);
        names.queue("Peer");
        ASSERT_TRUE(peer.waitFor("ready")) << option;
        if (option == "stopped") {
            peer.signal(SIGSTOP);
        }
        bool result = true;
        const auto took = timedSendSync("Peer", result);
        EXPECT_FALSE(result) << option;
        EXPECT_GE(took, std::chrono::seconds(6)) << option;
        EXPECT_LT(took, std::chrono::milliseconds(7500)) << option;
    }
    EXPECT_EQ(lines->count(common::loglevel::error,
                           "Get ack msg timeout. Id: 2 Message: " + dataText("sync")),
              1);
}
