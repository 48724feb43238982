#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/logging/ILogger.h"
#include "interprocess/SharedRecordQueue.h"

namespace interprocess {

// The inboxes that a root process holds open, by user, and the names of more
// that wait for room: kMaxPerUser of one user at most and kMaxOpen in all.
// Past kMaxOpen an inbox is closed to make room, the longest idle of another
// user's (never the session user's): for an inbox of the session user's at
// once, else only one read whole and idle for kIdleToClose. A closed inbox
// waits again; it takes another's place only when it held records, or was
// written since (its change time tells, without opening it), else only free
// room. Records are read in turns per user, not per inbox: the session user's
// first, then the other users, one record a turn; within a user, its inboxes
// in turn. Only the records that the last count found are read, so that one
// busy sender cannot keep the others waiting.
class HeldInboxes {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kMaxPerUser = 16;
    static constexpr std::size_t kMaxOpen = 256;
    // Names of one user's inboxes kept waiting for room; a user's inboxes
    // past them are removed unread.
    static constexpr std::size_t kMaxWaitingPerUser = 64;
    static constexpr std::chrono::seconds kIdleToClose{1};

    // Why a file of mode `mode` is no inbox when group or others may open
    // it; nothing when they may not.
    static std::optional<std::string> openToOthers(mode_t mode);

    // An inbox let go of because another user may now open it.
    struct Unfit {
        std::string name;
        uid_t owner;
        std::string reason;
    };
    enum class Held { No, Yes, Replaced, Waiting };

    // `maxRecordSize`: the largest record taken from an inbox.
    HeldInboxes(std::size_t maxRecordSize, common::ILogger& logger);

    // Whether the inbox `name` of `user` is held open (Replaced when the
    // name now has another file), or waits.
    Held isHeld(uid_t user, const std::string& name) const;
    // Lets go of the inbox `name` of `user`, or forgets it waiting.
    void drop(uid_t user, const std::string& name);
    // Whether an inbox of `user` may be held now, with `session` the session
    // user; closes the inbox whose place it takes.
    bool makeRoom(uid_t user, uid_t session);
    void add(uid_t user, const std::string& name, std::unique_ptr<SharedRecordQueue> queue);
    // Keeps `name` of `user` waiting for room: false, and not kept, when
    // kMaxWaitingPerUser of theirs wait already. Once a round, a user's
    // waiting names whose entries went, unreported, wait no more.
    bool wait(uid_t user, const std::string& name);
    // At most `count` waiting names that have room now, the session user's
    // first; they wait no more. The change times of closed ones are looked at,
    // `count` at most. Begins a round.
    std::vector<std::pair<uid_t, std::string>> due(std::size_t count, uid_t session);

    // Counts the records of every inbox held; a busy one is passed over until
    // the next count (its lock logged once). Lets go of the inboxes read
    // whole whose sender ended, and of those that other users may now open
    // (in `unfit`, when still under their names).
    std::size_t count(std::vector<Unfit>& unfit);
    // Takes the next counted record in turn, the `session` user's first:
    // Empty when the inboxes hold none that was counted. `user` is the
    // inbox's user; `error` names it when the result is neither Ok nor Empty.
    SharedRecordQueue::Status pop(std::vector<std::uint8_t>& record, uid_t session, uid_t& user,
                                  std::string& error);

private:
    struct Inbox {
        std::string name;
        std::unique_ptr<SharedRecordQueue> queue;
        // Records the last count found, less those taken since.
        std::size_t counted = 0;
        // Found busy in this poll; its busy lock logged.
        bool busy = false;
        bool busyLogged = false;
        // When it last held records, or was taken up.
        Clock::time_point active;
    };
    // A name waiting for room; one closed to make room is known by its change
    // time then.
    struct Waiting {
        std::string name;
        bool closed = false;
        bool heldRecords = false;
        struct timespec changed {};
    };
    struct User {
        std::vector<Inbox> open;
        std::size_t next = 0;
        std::deque<Waiting> waiting;
    };

    // Whether an inbox of `user` may be held with `open` held in all, closing
    // one when they are kMaxOpen.
    bool hasRoom(uid_t user, uid_t session, std::size_t open);
    // The inbox that one of `user` may take the place of: the longest idle of
    // those read whole, for the session user's any.
    Inbox* victimFor(uid_t user, uid_t session, uid_t& owner);
    enum class Due { Yes, NotYet, NoRoom };
    // Whether `waiting` is to be taken up now, with `open` held, looking at
    // the change times of `looks` closed ones at most.
    Due isDue(uid_t user, uid_t session, const Waiting& waiting, std::size_t open,
              std::size_t& looks);
    SharedRecordQueue::Status popFrom(User& user, std::vector<std::uint8_t>& record,
                                      std::string& error);
    void noteBusy(Inbox& inbox);

    std::size_t maxRecordSize_;
    common::ILogger& logger_;
    std::map<uid_t, User> users_;
    // The users whose waiting names were looked at in this round.
    std::set<uid_t> pruned_;
    std::size_t open_ = 0;
    // The user whose turn came last.
    uid_t lastTurn_ = 0;
};

}  // namespace interprocess
