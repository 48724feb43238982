#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "UserInboxesTestSupport.h"
#include "interprocess/HeldInboxes.h"

using namespace userinboxestest;
using namespace std::chrono_literals;

namespace {

// Makes the file at `path` a queue that holds `record`, as the user who runs it: a queue made
// under the name `image` of its own and copied in.
bool formatAsQueue(const std::string& path, const std::vector<std::uint8_t>& record,
                   const std::string& image) {
    std::string error;
    auto made = SharedRecordQueue::create(image, 4, 256, 0600, error);
    if (!made || made->push(record.data(), record.size()) != SharedRecordQueue::Status::Ok) {
        return false;
    }
    struct stat status {};
    const int from = ::open(("/dev/shm/" + image).c_str(), O_RDONLY | O_NOFOLLOW);
    std::vector<char> bytes(::fstat(from, &status) == 0 ? static_cast<std::size_t>(status.st_size) : 0);
    const bool read = ::pread(from, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
    ::close(from);
    SharedRecordQueue::remove(image);
    const int to = ::open(path.c_str(), O_RDWR | O_NOFOLLOW);
    const bool written = to >= 0 && read && !bytes.empty() &&
                         ::ftruncate(to, static_cast<off_t>(bytes.size())) == 0 &&
                         ::pwrite(to, bytes.data(), bytes.size(), 0) ==
                             static_cast<ssize_t>(bytes.size());
    ::close(to);
    return written;
}

}  // namespace

TEST_F(UserInboxesTest, OnlyAFileOfItsUsersOwnWithOneLinkThatNobodyElseMayOpenIsAnInbox) {
    // The session user has a file beside the inboxes, or right under an inbox name of its
    // own; it, or another user, makes it a queue that holds a record claiming the session
    // user's interface. Each row has a session user of its own.
    const auto claim =
        interprocess::DataLinkRecord{"AttendedUi", "Test", false, 1, false, false, bytes("claim")}
            .encode();
    const struct {
        const char* what;
        uid_t user;
        mode_t mode;
        // The user who links the file under the inbox name (none: it is made there) and
        // writes the queue into it.
        std::optional<uid_t> linker;
        uid_t writer;
        // Why it is no inbox; empty for one.
        std::string reason;
    } rows[] = {
        {"open to all, linked and written by another user", 65531, 0666, kOtherUser, kOtherUser,
         "it has 2 links"},
        {"readable by all, linked and written by its user", 65530, 0644, 65530, 65530,
         "it has 2 links"},
        {"readable by all, under the inbox name alone", 65529, 0644, std::nullopt, 65529,
         "other users may open it (mode 0644)"},
        {"writable by its group, under the inbox name alone", 65528, 0620, std::nullopt, 65528,
         "other users may open it (mode 0620)"},
        {"its user's alone, with a second link", 65527, 0600, 65527, 65527, "it has 2 links"},
        {"its user's alone, under the inbox name alone: an inbox", 65526, 0600, std::nullopt,
         65526, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const interprocesstest::SessionOf owner(row.user);
        const std::string inbox = UserInboxes::prefixFor(queue, row.user) + randomPart();
        const std::string shared = names.prefix() + "_Shared" + std::to_string(row.user);
        const std::string made = row.linker ? shared : inbox;
        NobodyChild maker([&] {
            const int fd = ::open(("/dev/shm/" + made).c_str(),
                                  O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW, 0600);
            return fd >= 0 && ::fchmod(fd, row.mode) == 0 && ::close(fd) == 0;
        }, row.user);
        ASSERT_TRUE(maker.succeeded());
        if (row.linker) {
            NobodyChild linker([&] {
                return ::link(("/dev/shm/" + shared).c_str(), ("/dev/shm/" + inbox).c_str()) == 0;
            }, *row.linker);
            ASSERT_TRUE(linker.succeeded());
        }
        NobodyChild writer([&] {
            return formatAsQueue("/dev/shm/" + inbox, claim,
                                 names.prefix() + "_Image" + std::to_string(row.writer));
        }, row.writer);
        ASSERT_TRUE(writer.succeeded());
        const bool isInbox = row.reason.empty();
        EXPECT_EQ(pending(*own), isInbox ? 1u : 0u);
        const auto got = receive(*own);
        EXPECT_EQ(got.ok, isInbox);
        EXPECT_EQ(got.payload, isInbox ? "claim" : "");
        if (!isInbox) {
            // Its name is removed, the file under another name stays, and it is logged once.
            EXPECT_FALSE(SharedRecordQueue::statusOf(inbox).has_value());
            EXPECT_EQ(SharedRecordQueue::statusOf(shared).has_value(), row.linker.has_value());
            EXPECT_EQ(lines->countContaining(common::loglevel::error,
                                             "of user " + std::to_string(row.user) +
                                                 " under inbox names, not read as inboxes; the last, " +
                                                 inbox + ": '" + row.reason + "'"),
                      1);
            continue;
        }
        // An inbox its user opens to others once root holds it is let go of and removed; what
        // another user writes into it then is not read.
        NobodyChild opener([&] { return ::chmod(("/dev/shm/" + inbox).c_str(), 0666) == 0; },
                           row.user);
        ASSERT_TRUE(opener.succeeded());
        NobodyChild forger([&] {
            std::string error;
            auto opened = SharedRecordQueue::open(inbox, error);
            return opened && opened->push(claim.data(), claim.size()) == SharedRecordQueue::Status::Ok;
        }, kOtherUser);
        ASSERT_TRUE(forger.succeeded());
        EXPECT_EQ(pending(*own), 0u);
        EXPECT_FALSE(receive(*own).ok);
        EXPECT_FALSE(SharedRecordQueue::statusOf(inbox).has_value());
        EXPECT_EQ(lines->countContaining(common::loglevel::error,
                                         "of user " + std::to_string(row.user) +
                                             " under inbox names, not read as inboxes; the last, " +
                                             inbox + ": 'other users may open it (mode 0666)'"),
                  1);
    }
}

TEST_F(UserInboxesTest, SendersOfOneUserThatEachSendAndQuitLeaveRoomForTheNext) {
    // Each sender's record is read; then the sender ends and takes its empty inbox along, and
    // root lets go of it: more senders one after the other than root holds inboxes of a user.
    for (std::size_t i = 0; i < UserInboxes::kMaxInboxesPerUser + 2; ++i) {
        SCOPED_TRACE("sender " + std::to_string(i + 1));
        interprocesstest::PeerProcess sender(NobodyChild::kUid);
        sender.command("link " + names.prefix() + " AttendedUi");
        ASSERT_TRUE(sender.waitFor("ready"));
        const std::string text = "text" + std::to_string(i);
        sender.command("send Test " + text);
        ASSERT_EQ(sender.waitFor("sent"), "sent 1");
        bool arrived = false;
        waitFor([&] { return arrived = arrived || receive(*own).payload == text; });
        EXPECT_TRUE(arrived);
        sender.command("quit");
        ASSERT_TRUE(sender.waitFor("bye"));
        EXPECT_EQ(inboxesOf(NobodyChild::kUid), 0u);
    }
}

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
    // nobody, whose second sender's records read "A"; records of a user who is not the
    // session's are refused, and logged.
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
        {"the session user's first, its inboxes in turn, also when the other user sent first",
         kA, {2, 2}, {4}, {"aAaAbbbb", "AaAabbbb"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const interprocesstest::SessionOf owner(row.session);
        for (const auto& [user, senders] : {std::pair{kB, row.b}, std::pair{kA, row.a}}) {
            for (std::size_t sender = 0; sender < senders.size(); ++sender) {
                const std::string text = user == kB ? "b" : sender == 0 ? "a" : "A";
                ASSERT_EQ(sendAs(user, names.prefix(), "AttendedUi", "Test",
                                 std::vector<std::string>(senders[sender], text)),
                          senders[sender]);
            }
        }
        ASSERT_TRUE(waitFor([&] { return pending(*own) == 8; }));
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

TEST_F(UserInboxesTest, AtMost256InboxesAreHeldTheLongestIdleGivingWayTheSessionUsersAtOnce) {
    // Seventeen users hold 16 inboxes each, a record in each: more than root holds open.
    constexpr std::size_t kPerUser = UserInboxes::kMaxInboxesPerUser;
    constexpr std::size_t kUsers = interprocess::HeldInboxes::kMaxOpen / kPerUser + 1;
    std::vector<std::unique_ptr<NobodyChild>> holders;
    for (uid_t user = 65500; user < 65500 + kUsers; ++user) {
        holders.push_back(holdInboxes(user, kPerUser));
        ASSERT_TRUE(holders.back()->succeeded()) << user;
    }
    EXPECT_TRUE(waitFor([&] { return pending(*own) == interprocess::HeldInboxes::kMaxOpen; }));
    EXPECT_EQ(inboxesHeld(), interprocess::HeldInboxes::kMaxOpen);
    // A new inbox of the session user's takes the place of one at once, and is read first.
    ASSERT_EQ(sendAsNobody(names.prefix(), "AttendedUi", "Test", {"session"}), 1);
    const std::string sessions = onlyInboxOf(queue, NobodyChild::kUid);
    EXPECT_TRUE(waitFor([&] {
        own->findSenders();
        return inboxesHeld(sessions) == 1;
    }));
    EXPECT_EQ(own->pendingCount(), interprocess::HeldInboxes::kMaxOpen);
    EXPECT_EQ(receive(*own).payload, "session");
    // Every other record is read: the inboxes read whole give way to those waiting once they
    // have been idle a while. Never more are held.
    std::size_t most = 0;
    waitFor([&] {
        receive(*own);
        most = std::max(most, inboxesHeld());
        return refused() == static_cast<int>(kUsers * kPerUser);
    }, 10s);  // while the holders still hold theirs (15 s)
    EXPECT_EQ(refused(), static_cast<int>(kUsers * kPerUser));
    EXPECT_LE(most, interprocess::HeldInboxes::kMaxOpen);
    // The last holder first: each later one keeps the earlier ones' release pipes.
    while (!holders.empty()) {
        holders.pop_back();
    }
}

