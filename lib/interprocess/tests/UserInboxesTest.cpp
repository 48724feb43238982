#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DataLinkTestSupport.h"
#include "SessionOf.h"
#include "common/utils/RandomString.h"
#include "interprocess/DataLinkRecord.h"

using namespace datalinktest;
using interprocess::SharedRecordQueue;
using interprocess::UserInboxes;
using namespace std::chrono_literals;

namespace {

constexpr uid_t kOtherUser = 65533;

std::string randomPart() {
    return common::randomString(UserInboxes::kRandomSize, common::kAlphanumericAlphabet);
}

// A root link "Test" reads the inboxes of other users; nobody owns the session.
class UserInboxesTest : public DataLinkTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the other users need a root test";
        own = link("Test");
        ASSERT_TRUE(own->init(kCount, kSize));
    }
    std::size_t inboxesOf(uid_t user) {
        return SharedRecordQueue::namesStartingWith(UserInboxes::prefixFor(queue, user)).size();
    }

    const interprocesstest::SessionOf session{NobodyChild::kUid};
    const std::string queue = names.queue("Test");
    std::unique_ptr<IDataLink> own;
};

}  // namespace

TEST_F(UserInboxesTest, NoUserTakesTheNameOfAnotherUsersInboxFirst) {
    // Another user keeps planting what would keep nobody's sender out, under the name of
    // nobody's inbox and under names it guesses.
    const std::string path = std::string(SharedRecordQueue::kDirectory) + "/" + queue + "~65534";
    const std::function<void(const std::string&)> plants[] = {
        [](const std::string& at) { ::mkdir(at.c_str(), 0777); },
        [](const std::string& at) { ::close(::open(at.c_str(), O_CREAT | O_WRONLY | O_NOFOLLOW, 0666)); },
    };
    for (const auto& plant : plants) {
        const std::string planting = names.queue("Planting");
        NobodyChild planter([&] {
            std::string error;
            SharedRecordQueue::create(planting, 1, 1, 0644, error);
            for (int round = 0; round < 200; ++round) {
                plant(path + "." + randomPart());
                for (const auto end = std::chrono::steady_clock::now() + 10ms;
                     std::chrono::steady_clock::now() < end;) {
                    plant(path);
                }
            }
            return SharedRecordQueue::remove(planting);
        }, kOtherUser);
        ASSERT_TRUE(waitFor([&] { return SharedRecordQueue::ownerOf(planting).has_value(); }));
        std::vector<std::string> texts;
        for (int i = 0; i < 40; ++i) {
            texts.push_back("text " + std::to_string(i));
        }
        EXPECT_EQ(sendAsNobody(names.prefix(), "AttendedUi", "Test", texts), 40);
        for (const auto& text : texts) {
            EXPECT_EQ(receive(*own).payload, text);
        }
        EXPECT_TRUE(planter.succeeded());
    }
}

TEST_F(UserInboxesTest, InboxesAreReadInTurnsPerUserTheSessionUsersFirst) {
    // Each sender process sends its records through an inbox of its own. User "a" is
    // nobody; records of a user who is not the session's are refused, and logged.
    constexpr uid_t kA = NobodyChild::kUid;
    constexpr uid_t kB = kOtherUser;
    const struct {
        const char* what;
        uid_t session;
        // The sender processes of "a" and of "b", and the records of each.
        std::vector<int> a;
        std::vector<int> b;
        std::vector<std::string> orders;
    } rows[] = {
        {"two users, one inbox each", 1000, {4}, {4}, {"abababab", "babababa"}},
        {"one user with two inboxes, the other with one", 1000, {2, 2}, {4},
         {"abababab", "babababa"}},
        {"the session user's inboxes come first", kA, {4}, {4}, {"aaaabbbb"}},
        {"the session user's first, also when the other user sent first", kA, {2, 2}, {4},
         {"aaaabbbb"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const interprocesstest::SessionOf owner(row.session);
        for (const auto& [user, senders] : {std::pair{kB, row.b}, std::pair{kA, row.a}}) {
            for (const int records : senders) {
                ASSERT_EQ(sendAs(user, names.prefix(), "AttendedUi", "Test",
                                 std::vector<std::string>(records, user == kA ? "a" : "b")),
                          records);
            }
        }
        // Whose record each receive took: its payload, or the refusal it was logged with.
        std::string order;
        for (int i = 0; i < 8; ++i) {
            const auto refusals = [&](uid_t user) {
                return lines->countContaining(common::loglevel::warn,
                                              "from user " + std::to_string(user));
            };
            const int a = refusals(kA);
            const int b = refusals(kB);
            const auto got = receive(*own);
            order += got.ok                  ? got.payload
                     : refusals(kA) == a + 1 ? "a"
                     : refusals(kB) == b + 1 ? "b"
                                             : "?";
        }
        EXPECT_NE(std::find(row.orders.begin(), row.orders.end(), order), row.orders.end())
            << order;
        EXPECT_FALSE(receive(*own).ok);
    }
}

TEST_F(UserInboxesTest, AnInboxLastsAsLongAsItsSenderOrItsRecords) {
    interprocesstest::PeerProcess sender(NobodyChild::kUid);
    sender.command("link " + names.prefix() + " AttendedUi");
    ASSERT_TRUE(sender.waitFor("ready"));
    sender.command("send Test one");
    ASSERT_EQ(sender.waitFor("sent"), "sent 1");
    EXPECT_EQ(receive(*own).payload, "one");
    EXPECT_EQ(pending(*own), 0u);
    EXPECT_EQ(inboxesOf(NobodyChild::kUid), 1u) << "a live sender's inbox went";
    // Root starts anew and drops it; the sender's next record goes into a new one.
    ASSERT_TRUE(own->init(kCount, kSize));
    EXPECT_EQ(inboxesOf(NobodyChild::kUid), 0u);
    sender.command("send Test two");
    ASSERT_EQ(sender.waitFor("sent"), "sent 1");
    EXPECT_EQ(receive(*own).payload, "two");
    // A sender that ends takes its empty inbox along.
    sender.command("quit");
    ASSERT_TRUE(sender.waitFor("bye"));
    EXPECT_EQ(inboxesOf(NobodyChild::kUid), 0u);
    // More senders than root reads the inboxes of at a time, all ended: every record arrives,
    // and every inbox goes once read.
    std::set<std::string> expected, got;
    for (std::size_t i = 0; i < UserInboxes::kMaxInboxesPerUser + 4; ++i) {
        expected.insert("r" + std::to_string(i));
        ASSERT_EQ(sendAsNobody(names.prefix(), "AttendedUi", "Test", {"r" + std::to_string(i)}), 1);
    }
    EXPECT_TRUE(waitFor([&] {
        for (auto next = receive(*own); next.ok; next = receive(*own)) {
            got.insert(next.payload);
        }
        return pending(*own) == 0 && inboxesOf(NobodyChild::kUid) == 0 && got == expected;
    }));
    EXPECT_EQ(got, expected);
}

TEST_F(UserInboxesTest, FakeInboxesWithTheirLocksHeldDoNotDelayARootLinksStart) {
    // Nobody makes 400 inboxes' names, half of them of other users, and holds each one's lock.
    NobodyChild faker([&] {
        for (uid_t i = 0; i < 400; ++i) {
            const std::string name =
                UserInboxes::prefixFor(queue, i % 2 ? NobodyChild::kUid : 1000 + i) + randomPart();
            std::string error;
            if (!SharedRecordQueue::create(name, 1, 16, 0600, error) || !holdLockOf(name)) {
                return false;
            }
        }
        return true;
    });
    ASSERT_TRUE(faker.succeeded());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(own->init(kCount, kSize));
    // Waiting for each lock would take 400 times kLockWait, 8 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 400 * SharedRecordQueue::kLockWait / 8);
    EXPECT_TRUE(SharedRecordQueue::namesStartingWith(queue + "~").empty());
}

TEST_F(UserInboxesTest, EntriesOthersLeaveInTheFolderCostRootsPollsNoReadingOfIt) {
    // Nobody leaves more empty files than the kernel keeps reports of.
    NobodyChild leaver([&] {
        for (int i = 0; i < 20000; ++i) {
            const std::string path = std::string(SharedRecordQueue::kDirectory) + "/" +
                                      names.prefix() + "_left-" + std::to_string(i);
            const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
            if (fd < 0 || ::close(fd) != 0) {
                return false;
            }
        }
        return true;
    });
    ASSERT_TRUE(leaver.succeeded());
    const auto cpu = [] {
        timespec now {};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
    };
    auto before = cpu();
    SharedRecordQueue::namesStartingWith(queue + "~");
    const auto oneReading = cpu() - before;
    // Fifteen polls, each after the time between two readings of the folder has passed.
    std::chrono::nanoseconds polls{0};
    for (int i = 0; i < 15; ++i) {
        std::this_thread::sleep_for(UserInboxes::kScanInterval + 10ms);
        before = cpu();
        pending(*own);
        receive(*own);
        polls += cpu() - before;
    }
    EXPECT_LT(polls, 5 * oneReading);
    // A new inbox is found all the same.
    ASSERT_EQ(sendAsNobody(names.prefix(), "AttendedUi", "Test", {"found"}), 1);
    EXPECT_EQ(receive(*own).payload, "found");
}

TEST_F(UserInboxesTest, AnInboxRecordIsNoLargerThanRootsQueueTakes) {
    constexpr std::size_t kMiB = 1u << 20;
    for (const std::size_t size : {200'000u, 500'000u, 1'000'000u}) {
        SCOPED_TRACE(size);
        const std::string text(size, 'x');
        // Nobody's sender takes records of 1 MiB, root's queue of 16 KiB: it is refused.
        EXPECT_EQ(sendAs(NobodyChild::kUid, names.prefix(), "AttendedUi", "Test", {text}, kMiB), 0);
        // An inbox with slots of 1 MiB carries it, but root does not take it.
        NobodyChild crafter([&] {
            std::string error;
            auto inbox = SharedRecordQueue::createNew(
                UserInboxes::prefixFor(queue, NobodyChild::kUid) + randomPart(), 4, kMiB, error);
            const auto record =
                interprocess::DataLinkRecord{"AttendedUi", "Test", false, 1, false, false, bytes(text)}
                    .encode();
            return inbox && inbox->push(record.data(), record.size()) == SharedRecordQueue::Status::Ok;
        });
        ASSERT_TRUE(crafter.succeeded());
        const int before = lines->countContaining(common::loglevel::error, "bytes taken here");
        EXPECT_FALSE(receive(*own).ok);
        EXPECT_EQ(lines->countContaining(common::loglevel::error, "bytes taken here"), before + 1);
        ASSERT_EQ(sendAsNobody(names.prefix(), "AttendedUi", "Test", {"small"}), 1);
        EXPECT_EQ(receive(*own).payload.substr(0, 16), "small");
    }
}
