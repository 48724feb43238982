#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "UserInboxesTestSupport.h"
#include "interprocess/HeldInboxes.h"

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
