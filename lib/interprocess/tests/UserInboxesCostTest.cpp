#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CollidingNames.h"
#include "PrivateSharedMemory.h"
#include "UserInboxesTestSupport.h"
#include "interprocess/HeldInboxes.h"
#include "interprocess/KeyedNameHash.h"
#include "support/OwnNamespaces.h"

using namespace userinboxestest;
using namespace std::chrono_literals;

namespace {

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

TEST_F(UserInboxesTest, APollsWorkIsBoundedWhateverNamesOthersChooseAndAListingStartsWhenDue) {
    using Clock = std::chrono::steady_clock;
    using interprocesstest::Figures;
    std::string reason;
    if (!testsupport::ownNamespacesWork(CLONE_NEWNS, reason)) {
        GTEST_SKIP() << "no /dev/shm of the test's own: " << reason;
    }
    constexpr Clock::duration kAll = std::chrono::hours(1);
    constexpr Clock::duration kNone = Clock::duration::zero();
    constexpr std::size_t kChosen = 1000;
    enum class Drop { None, ByTheKernel, ForWantOfRoom };
    enum class Chooser { None, AnotherUser, RootsFork };
    const struct {
        const char* what;
        // Entries others leave; the time a poll's work takes at most past what it does in any
        // case, and the time what it does in any case takes at most.
        int entries;
        Clock::duration work;
        Clock::duration most;
        // Rounds in which reports are dropped, and how.
        int rounds;
        Drop drop;
        // Who chooses kChosen names of inboxes to share a bucket of root's sets of names, as it
        // hashes them.
        Chooser chooser;
        // The entries each poll reads while a listing goes on after it, and the names reported
        // it looks at while more wait; 0: not told.
        std::size_t perPoll;
        std::size_t looksPerPoll;
    } rows[] = {
        {"60,000 entries of others and a due listing: no poll reads past its bound", 60000, kAll,
         kAll, 0, Drop::None, Chooser::None, UserInboxes::kMaxEntriesPerCall, 0},
        {"two rounds of reports the kernel dropped: a second listing not before a second", 0,
         kAll, kAll, 2, Drop::ByTheKernel, Chooser::None, 0, 0},
        {"its time used up, a poll still reads its least share", 60000, kNone, kAll, 0,
         Drop::None, Chooser::None, UserInboxes::kMinEntriesPerCall, 0},
        {"the time for its least share used up too, a poll reads one step", 60000, kNone, kNone,
         0, Drop::None, Chooser::None, UserInboxes::kEntriesPerStep, 0},
        {"reports dropped for want of room: a listing starts and finds the sender they named", 0,
         kNone, kNone, 1, Drop::ForWantOfRoom, Chooser::None, 0, 0},
        {"names another user chose to share a bucket: a look-up walks few of them, a poll "
         "whose time is used up looks at its least share", 0, kNone, kAll, 0, Drop::None,
         Chooser::AnotherUser, 0, UserInboxes::kMaxLooksPerCall / 4},
        {"names chosen with root's own key, in a fork of root: they share one; with no time for "
         "its least share, a poll looks at one step", 0, kNone, kNone, 0, Drop::None,
         Chooser::RootsFork, 0, UserInboxes::kLooksPerStep},
    };
    std::size_t kept = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> kept;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        // Each row in a /dev/shm of its own, which other tests' floods leave alone.
        const auto counted = interprocesstest::countInPrivateSharedMemory([&]() -> Figures {
            // Empty files of `user`'s, whose names are `prefix` and a random part: an inbox's,
            // or with a number after it, no inbox's.
            const auto leave = [&](int count, const std::string& prefix, uid_t user,
                                   bool numbered) {
                NobodyChild leaver([&] {
                    for (int i = 0; i < count; ++i) {
                        const std::string name =
                            prefix + randomPart() + (numbered ? std::to_string(i) : "");
                        const int fd = ::open(("/dev/shm/" + name).c_str(),
                                              O_CREAT | O_EXCL | O_WRONLY, 0600);
                        if (fd < 0 || ::close(fd) != 0) {
                            return false;
                        }
                    }
                    return true;
                }, user);
                return leaver.succeeded();
            };
            if (row.chooser == Chooser::RootsFork) {
                // Root draws its key now: its fork has the same.
                interprocess::KeyedNameHash::processKey();
            }
            if (row.entries > 0 &&
                !leave(row.entries, names.prefix() + "_left-", NobodyChild::kUid, true)) {
                return {{"failed", 1}};
            }
            RecordingLogger logger(lines);
            UserInboxes inboxes(queue, kSize, logger, row.work, row.most);
            // For each listing, the poll it started in: when that began and ended. Of the polls
            // after which a listing goes on, the fewest and the most entries read.
            std::vector<std::pair<Clock::time_point, Clock::time_point>> listings;
            Figures figures{{"failed", 0}, {"most", 0}, {"walk", 0}};
            const auto poll = [&] {
                const std::size_t looked = inboxes.namesLookedAt();
                const std::size_t entries = inboxes.entriesListed();
                const std::size_t started = inboxes.listingsStarted();
                const auto begun = Clock::now();
                inboxes.findSenders();
                if (inboxes.listingsStarted() > started) {
                    listings.emplace_back(begun, Clock::now());
                }
                const auto read = static_cast<long long>(inboxes.entriesListed() - entries);
                figures["most"] = std::max(figures["most"], read);
                figures["most looked"] =
                    std::max(figures["most looked"],
                             static_cast<long long>(inboxes.namesLookedAt() - looked));
                if (inboxes.listing()) {
                    figures["least going"] = figures.count("least going") != 0
                                                 ? std::min(figures["least going"], read)
                                                 : read;
                    figures["most going"] = std::max(figures["most going"], read);
                }
                figures["walk"] =
                    std::max(figures["walk"], static_cast<long long>(inboxes.longestWalk()));
            };
            // The listing a start makes, to its end.
            for (int i = 0; i < 5000 && (i == 0 || inboxes.listing()); ++i) {
                poll();
            }
            figures["listed"] = static_cast<long long>(inboxes.entriesListed());
            if (row.chooser == Chooser::AnotherUser) {
                // The attacker is another program, run by setpriv as nobody: it chooses the
                // names with a key of its own.
                const int program = ::open(QUORVANE_IPC_PEER, O_RDONLY);
                testsupport::CommandOptions options;
                options.input = "collide " + queue + " " + std::to_string(kChosen) + "\nquit\n";
                options.workingDirectory = "/";
                options.timeout = 30s;
                const auto chooser = testsupport::runCommand(
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                     "/proc/self/fd/" + std::to_string(program)},
                    options);
                ::close(program);
                std::istringstream words(chooser.output.substr(
                    std::min(chooser.output.find("collided "), chooser.output.size())));
                std::string word;
                words >> word >> figures["made"] >> figures["chosen walk"];
            } else if (row.chooser == Chooser::RootsFork) {
                const auto chosen = interprocesstest::collidingNames(
                    UserInboxes::prefixFor(queue, NobodyChild::kUid), kChosen);
                figures["chosen walk"] =
                    static_cast<long long>(interprocesstest::longestWalkOf(chosen));
                NobodyChild maker(
                    [&] { return interprocesstest::makeEmptyFiles(chosen) == kChosen; });
                figures["made"] = maker.succeeded() ? kChosen : 0;
            }
            std::unique_ptr<NobodyChild> sender;
            for (int round = 0; round < row.rounds; ++round) {
                const std::size_t before = listings.size();
                if (row.drop == Drop::ByTheKernel) {
                    // More changes than the kernel keeps reports of.
                    const std::string path = std::string(SharedRecordQueue::kDirectory) + "/" +
                                             names.prefix() + "_dropped";
                    for (std::size_t i = 0; i < kept / 2 + 1000; ++i) {
                        ::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_NOFOLLOW, 0600));
                        ::unlink(path.c_str());
                    }
                } else {
                    // Another user's names in batches the kernel keeps whole, a poll after
                    // each, until more were reported than are kept to look at; then a new
                    // sender, whose report is one of those not kept.
                    constexpr int kBatch = 1000;
                    const int batches = static_cast<int>(UserInboxes::kMaxCandidates) / kBatch + 2;
                    for (int batch = 0; batch < batches; ++batch) {
                        if (!leave(kBatch, UserInboxes::prefixFor(queue, kOtherUser), kOtherUser,
                                   false)) {
                            return {{"failed", 1}};
                        }
                        if (batch + 1 == batches) {
                            sender = holdInboxes(NobodyChild::kUid, 1);
                            if (!sender->succeeded()) {
                                return {{"failed", 1}};
                            }
                        }
                        poll();
                    }
                    figures["found"] = 0;
                }
                for (const auto end = Clock::now() + 10s;
                     Clock::now() < end &&
                     (row.drop == Drop::ForWantOfRoom ? inboxes.count() == 0
                                                      : listings.size() == before);
                     std::this_thread::sleep_for(row.drop == Drop::ForWantOfRoom ? 1ms : 10ms)) {
                    poll();
                }
                if (row.drop == Drop::ForWantOfRoom) {
                    figures["found"] = inboxes.count() > 0 ? 1 : 0;
                }
            }
            // The polls in which the names chosen are looked at.
            for (int i = 0; row.chooser != Chooser::None && i < 20; ++i) {
                poll();
            }
            figures["listings"] = static_cast<long long>(listings.size());
            for (std::size_t i = 1; i < listings.size(); ++i) {
                const auto apart = std::chrono::duration_cast<std::chrono::microseconds>(
                                       listings[i].second - listings[i - 1].first)
                                       .count();
                figures["closest us"] =
                    i == 1 ? apart : std::min<long long>(figures["closest us"], apart);
            }
            return figures;
        }, reason);
        ASSERT_TRUE(counted) << reason;
        auto figures = *counted;
        ASSERT_EQ(figures["failed"], 0);
        EXPECT_GE(figures["listed"], row.entries);
        EXPECT_GE(figures["listings"], 1 + row.rounds);
        EXPECT_LE(figures["most"], static_cast<long long>(UserInboxes::kMaxEntriesPerCall));
        if (figures["listings"] > 1) {
            EXPECT_GE(figures["closest us"],
                      std::chrono::microseconds(UserInboxes::kFullScanInterval).count());
        }
        if (row.perPoll > 0) {
            EXPECT_EQ(figures["least going"], static_cast<long long>(row.perPoll));
            EXPECT_EQ(figures["most going"], static_cast<long long>(row.perPoll));
        }
        if (row.drop == Drop::ForWantOfRoom) {
            EXPECT_EQ(figures["found"], 1);
        }
        if (row.chooser != Chooser::None) {
            // Where they were chosen, they share one bucket.
            EXPECT_EQ(figures["made"], static_cast<long long>(kChosen));
            EXPECT_EQ(figures["chosen walk"], static_cast<long long>(kChosen));
            EXPECT_EQ(figures["most looked"], static_cast<long long>(row.looksPerPoll));
        }
        if (row.chooser == Chooser::AnotherUser) {
            EXPECT_LE(figures["walk"], 16);
        } else if (row.chooser == Chooser::RootsFork) {
            EXPECT_GE(figures["walk"], static_cast<long long>(kChosen / 2));
        }
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
    // Once looked at, they cost the polls nothing, however long they stay (fifteen polls a
    // tenth of the time between two listings apart): no look at one of their names, and no
    // reading of the folder. Another test's flood there may make the kernel drop reports: then
    // a listing is due once a second at most, which looks at none of their names either (each
    // is held, or waits).
    const auto& inboxes = *dynamic_cast<DataLink&>(*own).inboxes();
    const auto tenth = std::chrono::milliseconds(UserInboxes::kFullScanInterval) / 10;
    // First the polls in which a listing under way from before ends (one that started meanwhile
    // too, when another test's flood made the kernel drop reports).
    const KernelReports reports;
    for (int i = 0; i < 15 || (i < 200 && inboxes.listing()); ++i) {
        std::this_thread::sleep_for(tenth);
        own->findSenders();
    }
    ASSERT_FALSE(inboxes.listing());
    const std::size_t looked = inboxes.namesLookedAt();
    const std::size_t entries = inboxes.entriesListed();
    const std::size_t started = inboxes.listingsStarted();
    const auto begun = std::chrono::steady_clock::now();
    for (int i = 0; i < 15; ++i) {
        std::this_thread::sleep_for(tenth);
        own->findSenders();
        own->pendingCount();
    }
    EXPECT_EQ(inboxes.namesLookedAt(), looked);
    const std::size_t again = inboxes.listingsStarted() - started;
    EXPECT_LE(again, 1u + static_cast<std::size_t>((std::chrono::steady_clock::now() - begun) /
                                                    UserInboxes::kFullScanInterval));
    if (reports.quiet()) {
        EXPECT_EQ(again, 0u);
        EXPECT_EQ(inboxes.entriesListed(), entries);
    }
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
