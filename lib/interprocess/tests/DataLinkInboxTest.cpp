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

#include "interprocess/DataLinkRecord.h"
#include "interprocess/SharedRecordQueue.h"
#include "interprocess/UserInboxes.h"

using namespace datalinktest;
using interprocess::SharedRecordQueue;
using namespace std::chrono_literals;

TEST_F(DataLinkTest, ForgedLengthsAndPositionsFromAnotherUserAreRefusedAndTheQueueGoesOn) {
    if (::geteuid() != 0) GTEST_SKIP() << "the attacker needs a root test";
    // Nobody's user interface speaks to root as the session user's.
    const interprocesstest::SessionOf session(NobodyChild::kUid);
    auto own = link("Test");
    ASSERT_TRUE(own->init(kCount, kSize));
    // What another user sends a root process waits in that user's inbox, which the user may
    // write; the root process reads it.
    ASSERT_EQ(sendAsNobody(names.prefix(), "AttendedUi", "Test", {"first"}), 1);
    EXPECT_EQ(receive(*own).payload, "first");
    EXPECT_EQ(pending(*own), 0u);
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
        // Root has taken up the inbox when nobody changes it.
        ASSERT_EQ(sendAsNobody(names.prefix(), "AttendedUi", "Test", {"forged"}), 1);
        ASSERT_EQ(pending(*own), 1u);
        const std::string inbox = onlyInboxOf(names.queue("Test"), NobodyChild::kUid);
        ASSERT_FALSE(inbox.empty());
        NobodyChild attacker([&] {
            for (const auto& [offset, bytes] : forged.writes) {
                if (!forge(inbox, offset, bytes)) {
                    return false;
                }
            }
            return true;
        });
        ASSERT_TRUE(attacker.succeeded());
        const int before = lines->countContaining(common::loglevel::error, forged.logged);
        EXPECT_FALSE(receive(*own).ok);
        EXPECT_EQ(lines->countContaining(common::loglevel::error, forged.logged), before + 1);
        // What is sent next still arrives.
        ASSERT_EQ(sendAsNobody(names.prefix(), "AttendedUi", "Test", {"after"}), 1);
        const auto got = receive(*own);
        EXPECT_TRUE(got.ok);
        EXPECT_EQ(got.payload, "after");
        EXPECT_EQ(pending(*own), 0u);
    }
}

TEST_F(DataLinkTest, ALockHeldByAnotherUserFailsSendAndPollWithinTheirBound) {
    if (::geteuid() != 0) GTEST_SKIP() << "the attacker needs a root test";
    auto own = link("Test");
    auto sender = link("Sender");
    ASSERT_TRUE(own->init(kCount, kSize));
    ASSERT_TRUE(sender->init(kCount, kSize));
    // Nobody may lock what it may write: its own queue, which root sends into (nobody being
    // the session's user), and its inbox beside root's queue, which root reads.
    const interprocesstest::SessionOf session(NobodyChild::kUid);
    const std::string theirs = names.queueOf("UnattendedUi", NobodyChild::kUid);
    const std::string rootQueue = names.queue("Test");
    NobodyChild attacker([&] {
        auto link = DataLink::create(names.prefix(), "UnattendedUi",
                                     std::make_unique<RecordingLogger>(lines));
        if (!link->init(kCount, kSize) ||
            !link->send("Test", bytes("waiting"), false, 1, false, false, true)) {
            return false;
        }
        return holdLockOf(theirs) && holdLockOf(onlyInboxOf(rootQueue, NobodyChild::kUid));
    });
    ASSERT_TRUE(attacker.succeeded());
    // Root's sender waits for the lock of nobody's queue, and says it gave up after its bound;
    // root's link does not wait for nobody's inbox at all, and says once that its lock is held.
    const auto waited = [&] {
        return lines->countContaining(common::loglevel::error, "lock was not free within 20 ms");
    };
    const auto held = [&] {
        return lines->countContaining(common::loglevel::error, "the queue's lock is held");
    };
    const struct {
        const char* what;
        std::function<bool()> call;
        int waits;
        int helds;
    } calls[] = {
        {"send", [&] { return sender->send("UnattendedUi", bytes("x"), false, 2, false, false, true); }, 1, 0},
        {"receive", [&] { return receive(*own).ok; }, 0, 1},
        {"count", [&] { return pending(*own) != 0; }, 0, 0},
        {"receive again", [&] { return receive(*own).ok; }, 0, 0},
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(call.what);
        const int waitsBefore = waited();
        const int heldsBefore = held();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(call.call());
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(waited() - waitsBefore, call.waits);
        EXPECT_EQ(held() - heldsBefore, call.helds);
        // A wait that ends at its bound takes that long at least.
        if (call.waits > 0) {
            EXPECT_GE(took, SharedRecordQueue::kLockWait);
        }
    }
    // Once the lock is given up, the waiting record arrives with the next poll.
    attacker.release();
    EXPECT_EQ(pending(*own), 1u);
    EXPECT_EQ(receive(*own).payload, "waiting");
}

TEST_F(DataLinkTest, QueuesAreOpenToOthersOnlyWhereTheDeploymentNeedsItAndPlantedOnesAreRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "the attacker needs a root test";
    // Nobody is the session's user, whose user interfaces root talks to.
    const interprocesstest::SessionOf session(NobodyChild::kUid);
    auto own = link("Test");
    ASSERT_TRUE(own->init(kCount, kSize));
    const std::string queue = names.queue("Test");
    EXPECT_EQ(statusOf(queue).st_mode & 0777, 0600u) << "only root writes a root process's queue";
    // Another user can neither write, cut nor lock it...
    NobodyChild attacker([&] {
        return ::shm_open(("/" + queue).c_str(), O_RDWR, 0) < 0 && errno == EACCES &&
               ::truncate(("/dev/shm/" + queue).c_str(), 0) != 0 && errno == EACCES;
    });
    EXPECT_TRUE(attacker.succeeded());
    // ...yet its processes reach the root process, in order, through an inbox of the user's
    // own that only that user and root may write.
    std::vector<std::string> texts;
    for (int i = 0; i < 20; ++i) {
        texts.push_back("text " + std::to_string(i));
    }
    ASSERT_EQ(sendAsNobody(names.prefix(), "AttendedUi", "Test", texts), 20);
    const auto inbox = statusOf(onlyInboxOf(queue, NobodyChild::kUid));
    EXPECT_EQ(inbox.st_uid, 65534u);
    EXPECT_EQ(inbox.st_mode & 0777, 0600u);
    EXPECT_EQ(pending(*own), 20u);
    for (const auto& text : texts) {
        const auto got = receive(*own);
        EXPECT_TRUE(got.ok) << text;
        EXPECT_EQ(got.from, "AttendedUi");
        EXPECT_EQ(got.payload, text);
    }

    // A queue of a root-only kind planted by nobody is not written to; the
    // queue of the session user's process is written to by root.
    for (const std::string& kind : {std::string("Unattended"), std::string("UnattendedUi")}) {
        const std::string planted = names.queue(kind);
        NobodyChild planter([&] {
            std::string error;
            return SharedRecordQueue::create(planted, kCount, kSize, 0600, error) != nullptr;
        });
        ASSERT_TRUE(planter.succeeded()) << kind;
        std::string error;
        auto queue = SharedRecordQueue::open(planted, error);
        ASSERT_TRUE(queue) << error;
        EXPECT_EQ(own->send(kind, bytes("secret"), false, 1, false, false, true),
                  kind == "UnattendedUi")
            << kind;
        EXPECT_EQ(queue->count(), kind == "UnattendedUi" ? 1u : 0u) << kind;
    }
    EXPECT_EQ(lines->countContaining(common::loglevel::error, "the queue belongs to user 65534"), 1);
}

TEST_F(DataLinkTest, AnInboxThatIsNotItsUsersIsRemovedAndThatUsersRecordsStillArrive) {
    if (::geteuid() != 0) GTEST_SKIP() << "the attacker needs a root test";
    // Nobody's user interface speaks to root as the session user's.
    const interprocesstest::SessionOf session(NobodyChild::kUid);
    auto own = link("Test");
    ASSERT_TRUE(own->init(kCount, kSize));
    // Nobody puts something under the inbox name of another user (uid 1000): that user's
    // records would go where nobody reads them, or could not go at all.
    const std::string foreign =
        interprocess::UserInboxes::prefixFor(names.queue("Test"), 1000) + "abcdefABCDEF";
    const std::string path = "/dev/shm/" + foreign;
    // Each planted by a user of its own: what one user leaves is logged once an interval.
    const struct {
        const char* what;
        std::function<bool()> plant;
        uid_t planter;
        std::string logged;
    } plants[] = {
        {"a queue", [&] {
             std::string error;
             return SharedRecordQueue::create(foreign, kCount, kSize, 0666, error) != nullptr;
         }, NobodyChild::kUid, "it belongs to user 65534"},
        {"a link", [&] { return ::symlink("/dev/null", path.c_str()) == 0; }, 65533,
         "of user 65533 under inbox names, not read as inboxes; the last, " + foreign + ": 'it is no file'"},
        {"a folder with a file in it", [&] {
             return ::mkdir(path.c_str(), 0777) == 0 &&
                    ::close(::open((path + "/x").c_str(), O_CREAT | O_WRONLY, 0666)) == 0;
         }, 65532, "of user 65532 under inbox names, not read as inboxes; the last, " + foreign + ": 'it is no file'"},
    };
    for (const auto& plant : plants) {
        SCOPED_TRACE(plant.what);
        NobodyChild planter(plant.plant, plant.planter);
        ASSERT_TRUE(planter.succeeded());
        const int before = lines->countContaining(common::loglevel::error, plant.logged);
        // The next look through the inboxes finds it.
        std::this_thread::sleep_for(interprocess::UserInboxes::kScanInterval);
        EXPECT_EQ(pending(*own), 0u);
        struct stat status {};
        EXPECT_NE(::lstat(path.c_str(), &status), 0) << "the planted inbox stays";
        EXPECT_EQ(lines->countContaining(common::loglevel::error, plant.logged), before + 1);
    }
    for (const auto& name : SharedRecordQueue::namesStartingWith(foreign + ".planted-")) {
        ::unlink(("/dev/shm/" + name + "/x").c_str());
        ::rmdir(("/dev/shm/" + name).c_str());
    }
    // Once root is gone and back, nothing an earlier run left in inboxes is taken for new.
    ASSERT_EQ(sendAsNobody(names.prefix(), "AttendedUi", "Test", {"old"}), 1);
    ASSERT_TRUE(own->init(kCount, kSize));
    EXPECT_EQ(lines->count(common::loglevel::debug, "There are 1 messages in the queue."), 1);
    ASSERT_EQ(sendAsNobody(names.prefix(), "AttendedUi", "Test", {"new"}), 1);
    EXPECT_EQ(receive(*own).payload, "new");
    EXPECT_FALSE(receive(*own).ok);
}

TEST_F(DataLinkTest, ARecordFromAUsersInboxIsKeptOnlyWhenItNamesAKindThatUserMayBe) {
    if (::geteuid() != 0) GTEST_SKIP() << "the attacker needs a root test";
    auto own = link("Unattended");
    ASSERT_TRUE(own->init(kCount, kSize));
    const std::string rootQueue = names.queue("Unattended");
    const struct {
        const char* from;
        uid_t session;
        bool kept;
    } cases[] = {
        // Kinds that run as root only, and a name that is no kind.
        {"RemoteControl", NobodyChild::kUid, false},
        {"Unattended", NobodyChild::kUid, false},
        {"Test", NobodyChild::kUid, false},
        // Kinds users run, while another user owns the session.
        {"AttendedUi", 1000, false},
        {"Attended", 1000, false},
        // The same while nobody owns it.
        {"AttendedUi", NobodyChild::kUid, true},
        {"CustomerAttendedApp", NobodyChild::kUid, true},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(std::string(row.from) + " while user " + std::to_string(row.session) +
                     " owns the session");
        const interprocesstest::SessionOf session(row.session);
        // Nobody writes a record that claims the kind into its own inbox.
        const interprocess::DataLinkRecord record{row.from, "Unattended", false, 7,
                                                  false,    false,        bytes("claim")};
        NobodyChild sender([&] {
            std::string name, error;
            const auto queue = interprocess::UserInboxes::make(rootQueue, kCount, kSize, name, error);
            const auto encoded = record.encode();
            return queue && queue->push(encoded.data(), encoded.size()) ==
                                SharedRecordQueue::Status::Ok;
        });
        ASSERT_TRUE(sender.succeeded());
        const std::string refusal =
            "Refusing a message as '" + std::string(row.from) + "' from user 65534";
        const int before = lines->countContaining(common::loglevel::warn, refusal);
        ASSERT_TRUE(waitFor([&] { return pending(*own) == 1; }));
        const auto got = receive(*own);
        EXPECT_EQ(got.ok, row.kept);
        EXPECT_EQ(got.payload, row.kept ? "claim" : "");
        EXPECT_EQ(lines->countContaining(common::loglevel::warn, refusal),
                  before + (row.kept ? 0 : 1));
        EXPECT_EQ(pending(*own), 0u);
    }
}

TEST_F(DataLinkTest, ACutOrEmptiedQueueIsRepairedAndLoggedAndWhatIsSentNextArrives) {
    if (::geteuid() != 0) GTEST_SKIP() << "the attacker needs a root test";
    // Nobody's user interface speaks to root as the session user's.
    const interprocesstest::SessionOf session(NobodyChild::kUid);
    auto own = link("Test");
    auto sender = link("Sender");
    ASSERT_TRUE(own->init(kCount, kSize));
    ASSERT_TRUE(sender->init(kCount, kSize));
    const std::string queue = names.queue("Test");
    const off_t whole = 20 + static_cast<off_t>(kCount) * (4 + kSize);
    const struct {
        const char* what;
        std::function<bool(const std::string&)> damage;
    } damages[] = {
        {"cut to nothing", [](const std::string& name) { return ::truncate(("/dev/shm/" + name).c_str(), 0) == 0; }},
        {"cut to its header", [](const std::string& name) { return ::truncate(("/dev/shm/" + name).c_str(), 20) == 0; }},
        {"grown", [whole](const std::string& name) { return ::truncate(("/dev/shm/" + name).c_str(), whole + 4096) == 0; }},
        {"header zeroed", [](const std::string& name) { return forge(name, 0, std::vector<std::uint8_t>(20, 0)); }},
    };
    // Root's own queue can only be damaged by root; an inbox by its user too.
    for (const bool theInbox : {false, true}) {
        for (const auto& damage : damages) {
            SCOPED_TRACE(std::string(damage.what) + (theInbox ? " (nobody's inbox)" : " (root's queue)"));
            const auto send = [&](const std::string& text) {
                return theInbox ? sendAsNobody(names.prefix(), "AttendedUi", "Test", {text}) == 1
                                : sender->send("Test", bytes(text), false, 1, false, false, true);
            };
            ASSERT_TRUE(send("lost"));
            ASSERT_TRUE(waitFor([&] { return pending(*own) == 1; }));
            // The inbox of the process that sent it; those read before are gone.
            const std::string inbox = theInbox ? onlyInboxOf(queue, NobodyChild::kUid) : "";
            ASSERT_NE(theInbox, inbox.empty());
            if (theInbox) {
                NobodyChild attacker([&] { return damage.damage(inbox); });
                ASSERT_TRUE(attacker.succeeded());
            } else {
                ASSERT_TRUE(damage.damage(queue));
            }
            const int before = lines->countContaining(common::loglevel::error, "the queue was emptied and repaired");
            // One poll: a repaired inbox stays until the next.
            EXPECT_EQ(own->pendingCount(), 0u);
            EXPECT_EQ(lines->countContaining(common::loglevel::error, "the queue was emptied and repaired"),
                      before + 1);
            EXPECT_EQ(statusOf(theInbox ? inbox : queue).st_size, whole);
            ASSERT_TRUE(send("after"));
            const auto got = receive(*own);
            EXPECT_TRUE(got.ok);
            EXPECT_EQ(got.payload, "after");
        }
    }
}

