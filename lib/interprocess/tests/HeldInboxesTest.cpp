#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PeerProcess.h"
#include "RecordingLogger.h"
#include "interprocess/HeldInboxes.h"
#include "interprocess/SharedRecordQueue.h"

using interprocess::HeldInboxes;
using interprocess::SharedRecordQueue;

namespace {

constexpr uid_t kSession = 1000;
constexpr uid_t kFirstUser = 2000;

// Inboxes this process makes and keeps in use, as their senders would; the users they are
// held for are numbers.
class HeldInboxesTest : public ::testing::Test {
protected:
    // A new inbox's name; `record`: one is in it.
    std::string make(bool record = false) {
        const std::string name = names.prefix() + "_inbox" + std::to_string(senders.size());
        std::string error;
        senders.push_back(SharedRecordQueue::createNew(name, 4, 64, error));
        EXPECT_TRUE(senders.back()) << error;
        if (record && senders.back()) {
            const std::uint8_t data[] = {1, 2, 3};
            EXPECT_EQ(senders.back()->push(data, sizeof data), SharedRecordQueue::Status::Ok);
        }
        return name;
    }
    // Holds a new inbox of `user`.
    std::string hold(uid_t user, bool record = false) {
        const std::string name = make(record);
        std::string error;
        held->add(user, name, SharedRecordQueue::open(name, error));
        return name;
    }
    // Takes every record counted.
    void readAll() {
        std::vector<interprocess::HeldInboxes::Unfit> unfit;
        held->count(unfit);
        std::vector<std::uint8_t> record;
        uid_t user = 0;
        std::string error;
        while (held->pop(record, kSession, user, error) != SharedRecordQueue::Status::Empty) {
        }
    }

    interprocesstest::QueueNames names;
    std::vector<std::unique_ptr<SharedRecordQueue>> senders;
    testsupport::RecordingLogger logger{std::make_shared<testsupport::RecordingLogger::Lines>()};
    std::unique_ptr<HeldInboxes> held;
};

}  // namespace

TEST_F(HeldInboxesTest, AnInboxPastTheCapsTakesAPlaceWaitsOrIsRefused) {
    constexpr std::size_t kPerUser = HeldInboxes::kMaxPerUser;
    constexpr std::size_t kWaiting = HeldInboxes::kMaxWaitingPerUser;
    enum class Then { Held, Waits, Refused };
    const struct {
        const char* what;
        // The users from kFirstUser to this one (not included), kPerUser inboxes held of each;
        // whether the session user then holds one, read whole before the others'; names of
        // the first user's waiting, and how many of them went.
        uid_t users;
        bool session;
        std::size_t waiting;
        std::size_t gone;
        // Whether a new one of the first user's was refused, its waiting names looked at, in
        // the round before.
        bool refusedBefore;
        // Whose new inbox comes, and what becomes of it.
        uid_t newcomer;
        Then then;
    } rows[] = {
        {"16 users' 16 held and the session user's: a 17th user's takes the place of another's "
         "idle one, never the session user's", kFirstUser + HeldInboxes::kMaxOpen / kPerUser, true,
         0, 0, false,
         kFirstUser + HeldInboxes::kMaxOpen / kPerUser, Then::Held},
        {"a user's inboxes past 16 held and 64 waiting are refused", kFirstUser + 1, false,
         kWaiting, 0, false, kFirstUser, Then::Refused},
        {"its 64 waiting removed, unreported: its next one waits, and is read", kFirstUser + 1,
         false, kWaiting, kWaiting, false, kFirstUser, Then::Waits},
        {"one refused, then its 64 waiting removed, unreported: in the next round its next one "
         "waits, and is read", kFirstUser + 1, false, kWaiting, kWaiting, true, kFirstUser,
         Then::Waits},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        held = std::make_unique<HeldInboxes>(64, logger);
        std::vector<std::string> firsts;
        for (uid_t user = kFirstUser; user < row.users; ++user) {
            for (std::size_t i = 0; i < kPerUser; ++i) {
                ASSERT_TRUE(held->makeRoom(user, kSession));
                const std::string name = hold(user, true);
                if (user == kFirstUser) {
                    firsts.push_back(name);
                }
            }
        }
        // Past 256, the session user's takes another's place at once.
        std::string sessions;
        if (row.session) {
            ASSERT_TRUE(held->makeRoom(kSession, kSession));
            sessions = hold(kSession);
        }
        std::vector<std::string> waiting;
        for (std::size_t i = 0; i < row.waiting; ++i) {
            waiting.push_back(make());
            ASSERT_TRUE(held->wait(kFirstUser, waiting.back()));
        }
        if (row.refusedBefore) {
            // Its names waiting are looked at, all still there; then the round ends.
            EXPECT_FALSE(held->wait(kFirstUser, make()));
            held->due(16, kSession);
        }
        for (std::size_t i = 0; i < row.gone; ++i) {
            ASSERT_TRUE(SharedRecordQueue::remove(waiting[i]));
        }
        // Every inbox read whole, the session user's longest; all idle long enough to give way.
        readAll();
        if (row.session) {
            std::this_thread::sleep_for(HeldInboxes::kIdleToClose + std::chrono::milliseconds(100));
        }
        held->due(16, kSession);
        const std::string newcomer = make();
        if (held->makeRoom(row.newcomer, kSession)) {
            std::string error;
            held->add(row.newcomer, newcomer, SharedRecordQueue::open(newcomer, error));
        } else {
            EXPECT_EQ(held->wait(row.newcomer, newcomer), row.then == Then::Waits);
        }
        const auto expected = row.then == Then::Held    ? HeldInboxes::Held::Yes
                              : row.then == Then::Waits ? HeldInboxes::Held::Waiting
                                                        : HeldInboxes::Held::No;
        EXPECT_EQ(held->isHeld(row.newcomer, newcomer), expected);
        if (row.session) {
            EXPECT_EQ(held->isHeld(kSession, sessions), HeldInboxes::Held::Yes);
        }
        if (row.then == Then::Waits) {
            // Once one of its user's goes, it is taken up.
            held->drop(kFirstUser, firsts.front());
            const auto due = held->due(16, kSession);
            ASSERT_EQ(due.size(), 1u);
            EXPECT_EQ(due.front().second, newcomer);
        }
    }
}
