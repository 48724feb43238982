#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DataLinkTestSupport.h"
#include "SessionOf.h"
#include <fstream>

#include "interprocess/DataLinkRecord.h"
#include "interprocess/SharedRecordQueue.h"
#include "interprocess/UserInboxes.h"
#include "support/TempDir.h"

using namespace datalinktest;
using interprocess::SharedRecordQueue;
using namespace std::chrono_literals;

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


TEST_F(DataLinkTest, ARecordIntoAQueueCutOrRemovedUnderItsSenderIsNotReportedSent) {
    if (::geteuid() != 0) GTEST_SKIP() << "the attacker needs a root test";
    const std::string theirs = names.queue("UnattendedUi");
    const struct {
        const char* what;
        std::function<bool()> damage;
    } damages[] = {
        {"cut to its header", [&] { return ::truncate(("/dev/shm/" + theirs).c_str(), 20) == 0; }},
        {"removed", [&] { return SharedRecordQueue::remove(theirs); }},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.what);
        NobodyChild owner([&] {
            std::string error;
            return SharedRecordQueue::create(theirs, kCount, kSize, 0600, error) != nullptr;
        });
        ASSERT_TRUE(owner.succeeded());
        std::string error;
        auto queue = SharedRecordQueue::open(theirs, error);
        ASSERT_TRUE(queue) << error;
        ASSERT_EQ(queue->push(reinterpret_cast<const std::uint8_t*>("kept"), 4),
                  SharedRecordQueue::Status::Ok);
        NobodyChild attacker(damage.damage);
        ASSERT_TRUE(attacker.succeeded());
        EXPECT_NE(queue->push(reinterpret_cast<const std::uint8_t*>("lost"), 4),
                  SharedRecordQueue::Status::Ok);
        EXPECT_FALSE(queue->error().empty());
    }
}

TEST_F(DataLinkTest, RootMakesItsQueueWhateverAnotherUserPutsUnderItsNameMeanwhile) {
    if (::geteuid() != 0) GTEST_SKIP() << "the attacker needs a root test";
    testsupport::TempDir dir("quorvane-queue");
    const std::string target = dir.file("root-file");
    std::ofstream(target) << "root's";
    const struct {
        const char* what;
        std::function<void(const std::string&)> plant;
    } plants[] = {
        {"a queue", [](const std::string& name) {
             ::shm_unlink(("/" + name).c_str());
             const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
             ::close(fd);
         }},
        {"a folder with a file in it", [](const std::string& name) {
             const std::string path = "/dev/shm/" + name;
             ::unlink((path + "/x").c_str());
             ::rmdir(path.c_str());
             if (::mkdir(path.c_str(), 0777) == 0) {
                 ::close(::open((path + "/x").c_str(), O_CREAT | O_WRONLY, 0666));
             }
         }},
        {"a link to a file of root's", [&](const std::string& name) {
             const std::string path = "/dev/shm/" + name;
             ::unlink(path.c_str());
             ::symlink(target.c_str(), path.c_str());
         }},
    };
    for (const auto& plant : plants) {
        SCOPED_TRACE(plant.what);
        const std::string queue = names.queue("Raced");
        // Nobody re-creates the name in a loop while root starts its link ten times.
        const std::string running = names.queue("Running");
        NobodyChild attacker([&] {
            std::string error;
            SharedRecordQueue::create(running, 1, 1, 0644, error);
            const auto end = std::chrono::steady_clock::now() + 1500ms;
            while (std::chrono::steady_clock::now() < end) {
                plant.plant(queue);
            }
            SharedRecordQueue::remove(running);
            return true;
        });
        ASSERT_TRUE(waitFor([&] { return SharedRecordQueue::ownerOf(running).has_value(); }));
        for (int start = 0; start < 10; ++start) {
            auto raced = DataLink::create(names.prefix(), "Raced",
                                          std::make_unique<RecordingLogger>(lines));
            EXPECT_TRUE(raced->init(kCount, kSize)) << "start " << start;
            const auto status = statusOf(queue);
            EXPECT_TRUE(S_ISREG(status.st_mode) && status.st_uid == 0u &&
                        (status.st_mode & 0777) == 0600u)
                << "start " << start;
        }
        EXPECT_TRUE(attacker.succeeded());
        EXPECT_EQ(testsupport::readFile(target), "root's");
        // What the attacker left goes, also what root moved out of its way.
        auto left = SharedRecordQueue::namesStartingWith(queue + ".planted-");
        left.push_back(queue);
        for (const auto& name : left) {
            const std::string path = "/dev/shm/" + name;
            ::unlink((path + "/x").c_str());
            ::rmdir(path.c_str());
            ::unlink(path.c_str());
        }
    }
}
