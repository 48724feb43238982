#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <fstream>
#include <numeric>
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
#include "interprocess/InboxRemovals.h"
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
        if (onReceived) {
            onReceived();
        }
    }
    void onDataLinkSyncMessage(const std::string, bool, const protocol::Command,
                               bool& taken) override {
        taken = true;
    }
    std::vector<std::string> received;
    // Called as each record is delivered.
    std::function<void()> onReceived;
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
        if (link) {
            link->removeObserver(&recorder);
            link.reset();
        }
    }

    // How long a synchronous send to `to` takes.
    std::chrono::milliseconds timedSendSync(const std::string& to, bool& result) {
        const auto start = std::chrono::steady_clock::now();
        result = link->sendSync(to, dataText("sync"));
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    }

    // Polls until `count` records in all were delivered, `most` polls at most: how many it
    // took. A poll takes every record that waits, unless its time ran out first (on a loaded
    // machine); then the next poll goes on where it stopped.
    std::size_t pollUntilReceived(std::size_t count, std::size_t most) {
        std::size_t polls = 0;
        while (recorder.received.size() < count && polls < most) {
            const auto before = recorder.received.size();
            const auto start = std::chrono::steady_clock::now();
            scheduler->runOne("", true);
            const auto took = std::chrono::steady_clock::now() - start;
            ++polls;
            EXPECT_GT(recorder.received.size(), before) << "poll " << polls;
            if (took < AsynchronousDataLink::kPollBudget) {
                EXPECT_EQ(recorder.received.size(), count) << "poll " << polls;
            }
        }
        return polls;
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
    pollUntilReceived(expected.size(), expected.size());
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
    // A poll waits for no inbox: each held lock is logged once as held (not as one waited
    // for), and the own queue's records arrive with the poll (unless its time ran out on a
    // loaded machine), in order.
    const auto waited = [&] {
        return lines->countContaining(common::loglevel::error, "lock was not free within");
    };
    const auto held = [&] {
        return lines->countContaining(common::loglevel::error, "the queue's lock is held");
    };
    pollUntilReceived(expected.size(), expected.size());
    EXPECT_EQ(recorder.received, expected);
    scheduler->runOne("", true);
    EXPECT_EQ(waited(), 0);
    EXPECT_EQ(held(), static_cast<int>(holders.size()));
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

TEST_F(AsynchronousDataLinkTest, WhatWaitsIsTakenInEveryPollBeforeTheNamesOthersMakeAreLookedAt) {
    if (::geteuid() != 0) GTEST_SKIP() << "other users need a root test";
    constexpr uid_t kPlanter = NobodyChild::kUid - 1;
    const interprocesstest::SessionOf session(NobodyChild::kUid);
    const std::string queue = names.queue("Test");
    // A root process and the session user's, each with a record on its way to every poll.
    auto rootSender = DataLink::create(names.prefix(), "Peer", std::make_unique<RecordingLogger>(lines));
    names.queue("Peer");
    ASSERT_TRUE(rootSender->init(AsynchronousDataLink::kMaxMsgCount, AsynchronousDataLink::kMaxMsgSize));
    PeerProcess sessionSender(NobodyChild::kUid);
    sessionSender.command("link " + names.prefix() + " AttendedUi");
    ASSERT_TRUE(sessionSender.waitFor("ready"));
    const auto pollAfterSending = [&](const std::string& text) {
        recorder.received.clear();
        const auto data = dataText(text);
        EXPECT_TRUE(rootSender->send("Test", {data.begin(), data.end()}, false, 1, false, false, true));
        sessionSender.command("send Test " + data);
        EXPECT_EQ(sessionSender.waitFor("sent"), "sent 1");
        // The own queue first, then the inboxes.
        const std::size_t polls = pollUntilReceived(2, 2);
        EXPECT_EQ(recorder.received, (std::vector<std::string>{"Peer:" + text, "AttendedUi:" + text}));
        return polls;
    };
    pollAfterSending("before");
    // Another user makes empty files under inbox names, its own and the session user's, more
    // than the kernel keeps reports of.
    std::size_t planted = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> planted;
    planted = std::min<std::size_t>(planted, 65536) + 1024;
    NobodyChild planter([&] {
        char random[32];
        for (std::size_t i = 0; i < planted; ++i) {
            std::snprintf(random, sizeof random, "PLANT%07zu", i);
            const std::string path = "/dev/shm/" +
                                     UserInboxes::prefixFor(queue, i % 2 ? kPlanter : NobodyChild::kUid) +
                                     random;
            const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
            if (fd < 0 || ::close(fd) != 0) {
                return false;
            }
        }
        return true;
    }, kPlanter);
    ASSERT_TRUE(planter.succeeded());
    const auto left = [&] {
        const auto all = SharedRecordQueue::namesStartingWith(queue + "~");
        return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [](const std::string& name) {
            return name.find(".PLANT") != std::string::npos;
        }));
    };
    // Every poll takes what was sent before it, while a bounded part of the names is removed;
    // the first one after they were made, before it looked at any (the first name made is
    // the first looked at, and removed).
    std::size_t before = left();
    ASSERT_EQ(before, planted);
    const std::string firstMade = UserInboxes::prefixFor(queue, NobodyChild::kUid) + "PLANT0000000";
    std::vector<bool> firstMadeThere;
    recorder.onReceived = [&] {
        firstMadeThere.push_back(SharedRecordQueue::statusOf(firstMade).has_value());
    };
    pollAfterSending("first");
    recorder.onReceived = nullptr;
    ASSERT_FALSE(firstMadeThere.empty());
    EXPECT_TRUE(firstMadeThere.front());
    EXPECT_FALSE(SharedRecordQueue::statusOf(firstMade).has_value());
    before = left();
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t poll = 0; before > 0 && poll < planted / UserInboxes::kMaxRemovalsPerCall + 50; ++poll) {
        SCOPED_TRACE("poll " + std::to_string(poll));
        const std::size_t polls = pollAfterSending("during " + std::to_string(poll));
        const std::size_t now = left();
        EXPECT_LE(before - now, polls * UserInboxes::kMaxRemovalsPerCall);
        before = now;
    }
    EXPECT_EQ(before, 0u);
    // One line an owner an interval says how many went; when the link goes, the rest.
    const auto reports = [&] {
        std::vector<unsigned> counts;
        for (const auto& line : lines->all()) {
            unsigned count = 0;
            if (std::sscanf(line.text.c_str(), "removed %u entries of user 65533", &count) == 1) {
                counts.push_back(count);
            }
        }
        return counts;
    };
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LE(reports().size(), 1 + static_cast<std::size_t>(took / InboxRemovals::kReportInterval));
    link->removeObserver(&recorder);
    link.reset();
    const auto counts = reports();
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), 0u), planted);
}
