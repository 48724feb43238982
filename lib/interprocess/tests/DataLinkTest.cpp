#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "SessionOf.h"
#include "support/NobodyChild.h"
#include "PeerProcess.h"
#include "RecordingLogger.h"
#include "interprocess/DataLink.h"
#include "interprocess/DataLinkRecord.h"
#include "interprocess/SharedRecordQueue.h"

using interprocess::DataLink;
using interprocess::IDataLink;
using interprocesstest::QueueNames;
using interprocess::SharedRecordQueue;
using testsupport::NobodyChild;
using testsupport::RecordingLogger;
using namespace std::chrono_literals;

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
    std::string error;
    EXPECT_FALSE(SharedRecordQueue::open(names.queue("Absent"), error));
}

TEST_F(DataLinkTest, InitReplacesALeftoverQueueAndCountsItsRecords) {
    // An earlier run's queue, smaller than ours, with seven records in it.
    const auto own = names.queue("Test");
    {
        std::string error;
        auto old = SharedRecordQueue::create(own, 10, 64, 0600, error);
        ASSERT_TRUE(old) << error;
        for (int i = 0; i < 7; ++i) {
            ASSERT_EQ(old->push(reinterpret_cast<const std::uint8_t*>("old"), 3),
                      SharedRecordQueue::Status::Ok);
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
    std::string error;
    auto queue = SharedRecordQueue::open(names.queue("Test"), error);
    ASSERT_TRUE(queue) << error;
    for (const auto& record : records) {
        ASSERT_EQ(queue->push(record.data(), record.size()), SharedRecordQueue::Status::Ok);
    }
    ASSERT_EQ(queue->push(whole.data(), whole.size()), SharedRecordQueue::Status::Ok);

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

namespace {

// Bytes at `offset` of the shared object behind a queue, written by user
// nobody through a descriptor of its own.
bool forge(const std::string& queue, off_t offset, const std::vector<std::uint8_t>& bytes) {
    const int fd = ::shm_open(("/" + queue).c_str(), O_RDWR, 0);
    return fd >= 0 && ::pwrite(fd, bytes.data(), bytes.size(), offset) ==
                          static_cast<ssize_t>(bytes.size());
}

std::vector<std::uint8_t> little(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

}  // namespace

TEST_F(DataLinkTest, ForgedLengthsAndPositionsFromAnotherUserAreRefusedAndTheQueueGoesOn) {
    ASSERT_EQ(::geteuid(), 0u) << "the attacker needs a root test";
    auto own = link("Test");
    auto sender = link("Sender");
    ASSERT_TRUE(own->init(kCount, kSize));
    ASSERT_TRUE(sender->init(kCount, kSize));
    const std::string queue = names.queue("Test");
    // The header is 20 bytes (magic, limits, first slot, records held); the
    // first slot's length follows it.
    const struct {
        const char* what;
        std::vector<std::pair<off_t, std::vector<std::uint8_t>>> writes;
        const char* logged;
    } cases[] = {
        {"a record of 200000 bytes", {{20, little(200000)}, {12, little(0)}, {16, little(1)}}, "200000 bytes"},
        {"the largest length", {{20, little(0xffffffff)}, {12, little(0)}, {16, little(1)}}, "4294967295 bytes"},
        {"a first slot past the end", {{12, little(5000)}, {16, little(1)}}, "header is damaged"},
        {"more records than slots", {{16, little(kCount + 1)}}, "header is damaged"},
        {"another size limit", {{8, little(1u << 30)}, {16, little(1)}}, "header is damaged"},
    };
    for (const auto& forged : cases) {
        SCOPED_TRACE(forged.what);
        NobodyChild attacker([&] {
            for (const auto& [offset, bytes] : forged.writes) {
                if (!forge(queue, offset, bytes)) {
                    return false;
                }
            }
            return true;
        });
        ASSERT_TRUE(attacker.succeeded());
        const int before = lines->countContaining(common::loglevel::error, forged.logged);
        EXPECT_FALSE(receive(*own).ok);
        EXPECT_EQ(lines->countContaining(common::loglevel::error, forged.logged), before + 1);
        // The queue still carries what is sent next.
        ASSERT_TRUE(sender->send("Test", bytes("after"), false, 4, false, false, true));
        const auto got = receive(*own);
        EXPECT_TRUE(got.ok);
        EXPECT_EQ(got.payload, "after");
        EXPECT_EQ(own->pendingCount(), 0u);
    }
}

TEST_F(DataLinkTest, ALockHeldByAnotherUserFailsSendAndPollWithinTheirBound) {
    ASSERT_EQ(::geteuid(), 0u) << "the attacker needs a root test";
    auto own = link("Test");
    auto sender = link("Sender");
    ASSERT_TRUE(own->init(kCount, kSize));
    ASSERT_TRUE(sender->init(kCount, kSize));
    ASSERT_TRUE(sender->send("Test", bytes("waiting"), false, 1, false, false, true));
    const std::string queue = names.queue("Test");
    NobodyChild attacker([&] {
        const int fd = ::shm_open(("/" + queue).c_str(), O_RDWR, 0);
        struct flock region {};
        region.l_type = F_WRLCK;
        region.l_whence = SEEK_SET;
        region.l_len = 1;
        return fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &region) == 0;
    });
    ASSERT_TRUE(attacker.succeeded());
    const auto bound = SharedRecordQueue::kLockWait + 30ms;
    const struct {
        const char* what;
        std::function<bool()> call;
    } calls[] = {
        {"send", [&] { return sender->send("Test", bytes("x"), false, 2, false, false, true); }},
        {"receive", [&] { return receive(*own).ok; }},
        {"count", [&] { return own->pendingCount() != 0; }},
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(call.what);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(call.call());
        EXPECT_LT(std::chrono::steady_clock::now() - start, bound);
    }
    EXPECT_EQ(lines->countContaining(common::loglevel::error, "lock was not free within 20 ms"), 3);
    // Once the lock is given up, the waiting record arrives.
    attacker.release();
    EXPECT_EQ(receive(*own).payload, "waiting");
}

TEST_F(DataLinkTest, QueuesAreOpenToOthersOnlyWhereTheDeploymentNeedsItAndPlantedOnesAreRefused) {
    ASSERT_EQ(::geteuid(), 0u) << "the attacker needs a root test";
    auto own = link("Test");
    ASSERT_TRUE(own->init(kCount, kSize));
    struct stat status {};
    ASSERT_EQ(0, ::stat(("/dev/shm/" + names.queue("Test")).c_str(), &status));
    EXPECT_EQ(status.st_mode & 0777, 0666u) << "a root process's queue takes every user's records";
    // A queue of a root-only kind planted by nobody is not written to; the
    // queue of the session user's process is written to by root.
    const interprocesstest::SessionOf session(NobodyChild::kUid);
    for (const std::string& kind : {std::string("Unattended"), std::string("UnattendedUi")}) {
        const std::string queue = names.queue(kind);
        NobodyChild attacker([&] {
            std::string error;
            auto planted = SharedRecordQueue::create(queue, kCount, kSize, 0600, error);
            return planted != nullptr;
        });
        ASSERT_TRUE(attacker.succeeded()) << kind;
        std::string error;
        auto planted = SharedRecordQueue::open(queue, error);
        ASSERT_TRUE(planted) << error;
        EXPECT_EQ(own->send(kind, bytes("secret"), false, 1, false, false, true),
                  kind == "UnattendedUi")
            << kind;
        EXPECT_EQ(planted->count(), kind == "UnattendedUi" ? 1u : 0u) << kind;
    }
    EXPECT_EQ(lines->countContaining(common::loglevel::error, "the queue belongs to user 65534"), 1);
}
