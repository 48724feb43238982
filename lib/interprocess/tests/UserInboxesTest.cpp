#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DataLinkTestSupport.h"
#include "SessionOf.h"
#include "common/utils/RandomString.h"
#include "interprocess/DataLinkRecord.h"
#include "interprocess/HeldInboxes.h"

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
    // Nobody leaves `count` empty files of other names in the folder: more than the kernel
    // keeps reports of.
    void leaveEntries(int count) {
        NobodyChild leaver([&] {
            for (int i = 0; i < count; ++i) {
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
    }
    static std::chrono::nanoseconds threadCpu() {
        timespec now {};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
    }
    // What one reading of the folder costs this thread.
    std::chrono::nanoseconds oneReading() {
        const auto before = threadCpu();
        SharedRecordQueue::namesStartingWith(queue + "~");
        return threadCpu() - before;
    }
    // User `user`'s inboxes, made and held by a child process as that user, with a record in
    // each.
    std::unique_ptr<NobodyChild> holdInboxes(uid_t user, std::size_t count) {
        return std::make_unique<NobodyChild>([this, count] {
            static std::vector<std::unique_ptr<SharedRecordQueue>> held;
            const auto record = interprocess::DataLinkRecord{"AttendedUi", "Test", false, 1,
                                                             false, false, bytes("held")}
                                    .encode();
            for (std::size_t i = 0; i < count; ++i) {
                std::string name, error;
                auto inbox = UserInboxes::make(queue, 4, 256, name, error);
                if (!inbox ||
                    inbox->push(record.data(), record.size()) != SharedRecordQueue::Status::Ok) {
                    return false;
                }
                held.push_back(std::move(inbox));
            }
            return true;
        }, user);
    }
    // Records of users other than the session's, refused and logged.
    int refused() const {
        return lines->countContaining(common::loglevel::warn, "Refusing a message as 'AttendedUi'");
    }
    // The inboxes this process holds open (of those whose names contain `part`).
    std::size_t inboxesHeld(const std::string& part = "~") const {
        std::size_t held = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            const auto target = std::filesystem::read_symlink(entry.path(), error).string();
            held += target.find(queue + "~") != std::string::npos &&
                            target.find(part) != std::string::npos
                        ? 1
                        : 0;
        }
        return held;
    }

    const interprocesstest::SessionOf session{NobodyChild::kUid};
    const std::string queue = names.queue("Test");
    std::unique_ptr<IDataLink> own;
};

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

// Whether the folder was quiet since this was made: the kernel reported few changes and
// dropped none. Another test's flood there costs every link, to read the kernel's reports of
// it and, when the kernel dropped some, to read the folder again.
class KernelReports {
public:
    KernelReports() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        ::inotify_add_watch(fd_, SharedRecordQueue::kDirectory,
                            IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                IN_ONLYDIR);
    }
    ~KernelReports() { ::close(fd_); }
    KernelReports(const KernelReports&) = delete;
    KernelReports& operator=(const KernelReports&) = delete;

    bool quiet() const {
        alignas(inotify_event) char buffer[64 * 1024];
        std::size_t reports = 0;
        for (ssize_t got; (got = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
                inotify_event event;
                std::memcpy(&event, buffer + at, sizeof event);
                if ((event.mask & IN_Q_OVERFLOW) != 0) {
                    return false;
                }
                ++reports;
                at += static_cast<ssize_t>(sizeof event + event.len);
            }
        }
        return fd_ >= 0 && reports < 1000;
    }

private:
    int fd_;
};

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
    using Clock = std::chrono::steady_clock;
    leaveEntries(20000);
    RecordingLogger logger(lines);
    UserInboxes inboxes(queue, kSize, logger);
    // The listing a start makes, to its end.
    for (int i = 0; i < 1000 && inboxes.entriesListed() < 20000u; ++i) {
        inboxes.findSenders();
    }
    ASSERT_GE(inboxes.entriesListed(), 20000u);
    // Fifteen polls, each after the time between two readings of the folder has passed: none
    // reads it again. Another test's flood in the folder may make the kernel drop reports,
    // and each time a listing is due at most once a second.
    const std::size_t started = inboxes.listingsStarted();
    const KernelReports reports;
    const auto begun = Clock::now();
    for (int i = 0; i < 15; ++i) {
        std::this_thread::sleep_for(UserInboxes::kScanInterval + 10ms);
        inboxes.findSenders();
    }
    const auto again = inboxes.listingsStarted() - started;
    if (reports.quiet()) {
        EXPECT_EQ(again, 0u);
    }
    EXPECT_LE(again, 1u + static_cast<std::size_t>((Clock::now() - begun) /
                                                    UserInboxes::kFullScanInterval));
    // A new inbox is found all the same.
    ASSERT_EQ(sendAsNobody(names.prefix(), "AttendedUi", "Test", {"found"}), 1);
    EXPECT_EQ(receive(*own).payload, "found");
}

TEST_F(UserInboxesTest, AListingReadsABoundedNumberOfEntriesAPollAndStartsOnceASecondAtMost) {
    using Clock = std::chrono::steady_clock;
    const struct {
        const char* what;
        // Entries others leave; rounds in which the kernel then drops its reports.
        int entries;
        int rounds;
    } rows[] = {
        {"60,000 entries of others and a due listing: no poll reads past its bound", 60000, 0},
        {"two rounds of dropped reports: a second listing not before a second", 0, 2},
    };
    std::size_t kept = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> kept;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        leaveEntries(row.entries);
        // A root link's inboxes with all the time they want: the counts alone bound a poll.
        RecordingLogger logger(lines);
        UserInboxes inboxes(queue, kSize, logger, std::chrono::hours(1));
        // For each listing, the poll it started in: when that began and ended.
        std::vector<std::pair<Clock::time_point, Clock::time_point>> listings;
        std::size_t most = 0;
        const auto poll = [&] {
            const std::size_t entries = inboxes.entriesListed();
            const std::size_t started = inboxes.listingsStarted();
            const auto begun = Clock::now();
            inboxes.findSenders();
            if (inboxes.listingsStarted() > started) {
                listings.emplace_back(begun, Clock::now());
            }
            most = std::max(most, inboxes.entriesListed() - entries);
        };
        for (int i = 0; i < 1000 && (i == 0 || inboxes.entriesListed() < std::size_t(row.entries));
             ++i) {
            poll();
        }
        EXPECT_GE(inboxes.entriesListed(), std::size_t(row.entries));
        for (int round = 0; round < row.rounds; ++round) {
            // More changes than the kernel keeps reports of.
            const std::string path =
                std::string(SharedRecordQueue::kDirectory) + "/" + names.prefix() + "_dropped";
            for (std::size_t i = 0; i < kept / 2 + 1000; ++i) {
                ::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_NOFOLLOW, 0600));
                ::unlink(path.c_str());
            }
            const std::size_t before = listings.size();
            for (const auto end = Clock::now() + 10s;
                 listings.size() == before && Clock::now() < end;
                 std::this_thread::sleep_for(10ms)) {
                poll();
            }
        }
        EXPECT_GE(listings.size(), std::size_t(1 + row.rounds));
        EXPECT_LE(most, UserInboxes::kMaxEntriesPerCall);
        for (std::size_t i = 1; i < listings.size(); ++i) {
            EXPECT_GE(listings[i].second - listings[i - 1].first, UserInboxes::kFullScanInterval)
                << "listing " << i;
        }
    }
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

TEST_F(UserInboxesTest, InboxesPastAUsersCapWaitWithinABoundAndCostNothingOnceLookedAt) {
    // Another user makes more inboxes than root holds of one user, and than root keeps the
    // names of waiting, each with a record (refused: the user is not the session's).
    constexpr std::size_t kHeld = UserInboxes::kMaxInboxesPerUser;
    constexpr std::size_t kWaiting = interprocess::HeldInboxes::kMaxWaitingPerUser;
    constexpr std::size_t kPast = 300;
    // Others' entries fill the folder (the link started anew after them), so that a reading of
    // it would show.
    constexpr int kEntries = 20000;
    leaveEntries(kEntries);
    ASSERT_TRUE(own->init(kCount, kSize));
    auto holder = holdInboxes(kOtherUser, kHeld + kWaiting + kPast);
    ASSERT_TRUE(holder->succeeded());
    // The first look takes up some, keeps the names of some, and removes the rest; it ends with
    // the listing of the folder that the link starts with.
    ASSERT_TRUE(waitFor([&] {
        pending(*own);
        return inboxesOf(kOtherUser) == kHeld + kWaiting;
    }));
    for (int i = 0; i < kEntries / static_cast<int>(UserInboxes::kMaxEntriesPerCall) + 2; ++i) {
        pending(*own);
    }
    EXPECT_EQ(pending(*own), kHeld);
    EXPECT_EQ(lines->countContaining(common::loglevel::error,
                                     "of user 65533 under inbox names, not read as inboxes"),
              1);
    // Once looked at, they cost the polls no reading of the folder, however long they stay
    // (fifteen polls a tenth of the time between two readings apart). Another test's flood
    // in the folder costs every link, and a busy machine either measure: then both are
    // measured again, side by side.
    std::chrono::nanoseconds reading{0};
    const auto tenth = std::chrono::milliseconds(UserInboxes::kFullScanInterval) / 10;
    std::chrono::nanoseconds polls{0};
    for (int attempt = 0; attempt < 10; ++attempt) {
        const KernelReports reports;
        // First the polls in which a reading due from before passes.
        for (int i = 0; i < 15; ++i) {
            std::this_thread::sleep_for(tenth);
            own->findSenders();
        }
        polls = std::chrono::nanoseconds(0);
        for (int i = 0; i < 15; ++i) {
            std::this_thread::sleep_for(tenth);
            const auto before = threadCpu();
            own->findSenders();
            own->pendingCount();
            polls += threadCpu() - before;
        }
        reading = oneReading();
        if (reports.quiet() && polls < reading / 2) {
            break;
        }
    }
    EXPECT_LT(polls, reading / 2);
    // The names kept are read once their user's others are gone; those removed never are.
    holder.reset();
    waitFor([&] {
        receive(*own);
        return refused() == static_cast<int>(kHeld + kWaiting) && inboxesOf(kOtherUser) == 0;
    }, 10s);
    EXPECT_EQ(refused(), static_cast<int>(kHeld + kWaiting));
    EXPECT_EQ(inboxesOf(kOtherUser), 0u);
    // Each removal told of once: at once, and the rest when the link goes.
    own.reset();
    unsigned removed = 0;
    for (const auto& line : lines->all()) {
        unsigned count = 0;
        if (std::sscanf(line.text.c_str(), "removed %u entries of user 65533", &count) == 1 &&
            line.text.find("has 64 more inboxes waiting already") != std::string::npos) {
            removed += count;
        }
    }
    EXPECT_EQ(removed, kPast);
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
