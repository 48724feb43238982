#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <boost/interprocess/ipc/message_queue.hpp>

#include "PeerProcess.h"
#include "RecordingLogger.h"
#include "interprocess/DataLink.h"
#include "interprocess/DataLinkRecord.h"

using interprocess::DataLink;
using interprocess::IDataLink;
using interprocesstest::QueueNames;
using testsupport::RecordingLogger;
namespace bip = boost::interprocess;

namespace {

constexpr std::size_t kCount = 100;
constexpr std::size_t kSize = 16384;

struct Received {
    bool ok = false;
    std::string from;
    std::string payload;
    std::int64_t id = 0;
};

Received receive(IDataLink& link) {
    Received r;
    std::vector<std::uint8_t> payload;
    bool sync = false, toListener = false, ack = false;
    r.ok = link.receive(payload, r.from, sync, r.id, toListener, ack, false);
    r.payload.assign(payload.begin(), payload.end());
    return r;
}

std::vector<std::uint8_t> bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

class DataLinkTest : public ::testing::Test {
protected:
    std::unique_ptr<IDataLink> link(const std::string& name) {
        names.queue(name);
        return DataLink::create(names.prefix(), name, std::make_unique<RecordingLogger>(lines));
    }

    QueueNames names;
    std::shared_ptr<RecordingLogger::Lines> lines = std::make_shared<RecordingLogger::Lines>();
};

}  // namespace

TEST_F(DataLinkTest, OnlyPlainShortNamesMakeAQueue) {
    const std::string longest(64, 'n');
    for (const std::string& name : {std::string("Attended"), std::string("a-b_c.9"), longest}) {
        EXPECT_TRUE(link(name)->init(kCount, kSize)) << name;
    }
    for (const std::string& name : {std::string("a/b"), std::string(""), longest + "n",
                                   std::string("a b"), std::string("\xc3\xa9")}) {
        EXPECT_FALSE(link(name)->init(kCount, kSize)) << name;
    }
    auto sender = link("Sender");
    ASSERT_TRUE(sender->init(kCount, kSize));
    EXPECT_FALSE(sender->send("../Sender", bytes("x"), false, 1, false, false, true));
}

TEST_F(DataLinkTest, TheHundredAndFirstRecordIntoAnUnreadQueueFails) {
    auto idle = link("Idle");
    auto own = link("Test");
    ASSERT_TRUE(idle->init(kCount, kSize));
    ASSERT_TRUE(own->init(kCount, kSize));
    for (std::size_t i = 0; i < kCount; ++i) {
        ASSERT_TRUE(own->send("Idle", bytes("r"), false, 1, false, false, true)) << i;
    }
    EXPECT_FALSE(own->send("Idle", bytes("r"), false, 1, false, false, true));
    EXPECT_EQ(lines->count(common::loglevel::error, "Something went wrong, try send failed. Filename: " +
                                                        names.queue("Idle")),
              1);
    // A queue that does not exist is not made by a sender.
    EXPECT_FALSE(own->send("Absent", bytes("r"), false, 1, false, false, true));
    EXPECT_THROW(bip::message_queue(bip::open_only, names.queue("Absent").c_str()),
                 bip::interprocess_exception);
}

TEST_F(DataLinkTest, InitReplacesALeftoverQueueAndCountsItsRecords) {
    // An earlier run's queue, smaller than ours, with seven records in it.
    const auto own = names.queue("Test");
    {
        bip::message_queue old(bip::create_only, own.c_str(), 10, 64);
        for (int i = 0; i < 7; ++i) {
            old.send("old", 3, 0);
        }
    }
    auto receiver = link("Test");
    ASSERT_TRUE(receiver->init(kCount, kSize));
    EXPECT_EQ(lines->count(common::loglevel::debug, "There are 7 messages in the queue."), 1);
    EXPECT_EQ(receiver->pendingCount(), 0u);

    // Records larger than the old queue's limit now arrive.
    auto sender = link("Sender");
    ASSERT_TRUE(sender->init(kCount, kSize));
    const std::string big(kSize - interprocess::DataLinkRecord::kFixedSize - 10, 'b');
    ASSERT_TRUE(sender->send("Test", bytes(big), false, 9, false, false, true));
    EXPECT_FALSE(sender->send("Test", bytes(big + "b"), false, 9, false, false, true));
    const auto got = receive(*receiver);
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.payload.size(), big.size());
    EXPECT_EQ(got.id, 9);
}

TEST_F(DataLinkTest, MalformedRecordsAreConsumedAndTheNextOneIsRead) {
    auto own = link("Test");
    ASSERT_TRUE(own->init(kCount, kSize));
    interprocess::DataLinkRecord good{"Peer", "Test", false, 3, false, false, bytes("p")};
    interprocess::DataLinkRecord elsewhere = good;
    elsewhere.to = "Other";
    const auto whole = good.encode();
    const std::vector<std::vector<std::uint8_t>> records = {
        {},
        {0xff},
        std::vector<std::uint8_t>(40, 0xff),
        elsewhere.encode(),
        std::vector<std::uint8_t>(whole.begin(), whole.end() - 1),
    };
    bip::message_queue queue(bip::open_only, names.queue("Test").c_str());
    const std::uint8_t none = 0;
    for (const auto& record : records) {
        queue.send(record.empty() ? &none : record.data(), record.size(), 0);
    }
    queue.send(whole.data(), whole.size(), 0);

    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_FALSE(receive(*own).ok) << "record " << i;
    }
    const auto got = receive(*own);
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.from, "Peer");
    EXPECT_EQ(got.payload, "p");
    EXPECT_EQ(own->pendingCount(), 0u);
    EXPECT_EQ(lines->count(common::loglevel::warn,
                           "message addressee ('Other') different then destination ('Test')"),
              1);
}
