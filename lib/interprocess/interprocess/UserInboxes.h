#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/logging/ILogger.h"
#include "interprocess/FolderLister.h"
#include "interprocess/FolderWatch.h"
#include "interprocess/HeldInboxes.h"
#include "interprocess/InboxRemovals.h"
#include "interprocess/SharedRecordQueue.h"

namespace interprocess {

// The inboxes of a root process's queue. A root process's own queue is
// written by root alone; the records of another local user's process go into
// an inbox of that process's own beside it, "<queue>~<uid>.<random part>",
// which the sender makes (mode 0600, one link) under a name nobody could know
// before, so that no user can take it first, and which only that user and
// root may write. So no user can cut, empty, lock or block root's records or
// another user's. The root process reads its own queue first and then the
// inboxes it holds (HeldInboxes: in turns per user, the session user's
// first); only after that does it look for new ones (findSenders), within a
// bound per call that carries the rest over to the next, so that no number
// of names others make there holds up a record. Under a name of that form
// only a regular file of the user the name gives, with one link and no access
// for other users, is an inbox; anything else is removed, a batch at a time
// (InboxRemovals), and so is an inbox, once empty, whose sender has ended
// (its next send makes a new one).
class UserInboxes {
public:
    // How often the folder is listed at most when the kernel cannot report
    // its changes (else its reports are read at every call).
    static constexpr std::chrono::milliseconds kScanInterval{100};
    // How often a listing of the folder starts at most once the kernel
    // dropped reports.
    static constexpr std::chrono::seconds kFullScanInterval{1};
    static constexpr std::size_t kMaxInboxesPerUser = HeldInboxes::kMaxPerUser;
    // The work of one findSenders, at most (about 5 ms on a current
    // machine): names looked at, entries removed, folder entries listed.
    static constexpr std::size_t kMaxLooksPerCall = 1024;
    static constexpr std::size_t kMaxRemovalsPerCall = 256;
    static constexpr std::size_t kMaxEntriesPerCall = 4096;
    // Waiting inboxes tried by one findSenders.
    static constexpr std::size_t kMaxDuePerCall = 16;
    // Names reported, and names listed, not looked at yet: past them a name
    // is forgotten, and the folder listed again once they were looked at.
    static constexpr std::size_t kMaxCandidates = 16384;
    // Names of inboxes removed when a root process starts; more are left to
    // its polls.
    static constexpr std::size_t kMaxRemovedAtStart = 65536;
    // The largest record an inbox carries: what a root process's queue
    // takes (AsynchronousDataLink::kMaxMsgSize).
    static constexpr std::uint32_t kRecordLimit = 16384;
    static constexpr std::size_t kRandomSize = 12;

    // What the names of the inboxes of `uid` for `queue` begin with.
    static std::string prefixFor(const std::string& queue, uid_t uid);
    // A new inbox of the own user for `queue`, its record size `maxRecordSize`
    // at most kRecordLimit, its name written to `name`; null and `error` set
    // on failure.
    static std::unique_ptr<SharedRecordQueue> make(const std::string& queue,
                                                   std::uint32_t maxRecords,
                                                   std::uint32_t maxRecordSize, std::string& name,
                                                   std::string& error);
    // Removes the inboxes of `queue` (kMaxRemovedAtStart names at most)
    // without waiting for their locks: the records they held, as far as they
    // could be counted.
    static std::size_t removeAll(const std::string& queue);

    // `maxRecordSize`: the largest record taken from an inbox, the own
    // queue's.
    UserInboxes(std::string queue, std::size_t maxRecordSize, common::ILogger& logger);

    // Records waiting in the inboxes held whose lock is free; starts a poll,
    // in which an inbox found busy is not tried again. Repaired and busy
    // inboxes are logged, and empty ones whose sender ended let go of.
    std::size_t count();
    // Takes the next record in turn from the inboxes held: Empty when none
    // holds one. `user` is that inbox's user; `error` names the inbox when
    // the result is neither Ok nor Empty.
    SharedRecordQueue::Status pop(std::vector<std::uint8_t>& record, uid_t& user,
                                  std::string& error);
    // Looks, within the bounds above, at the names that appeared or changed
    // (or, when the kernel did not say, at a listing of the folder), takes up
    // new inboxes and those that waited for room, and removes what is no
    // inbox. True when an inbox was taken up.
    bool findSenders();

private:
    // The user an inbox name is for; 0 for a name that is none.
    static uid_t userOf(const std::string& queue, const std::string& name);
    // Keeps a name the kernel reported, or one a listing found, to be
    // looked at.
    void enqueue(std::deque<std::string>& candidates, const std::string& name);
    // Takes up, lets go of, keeps waiting or removes what has that name;
    // true when an inbox was taken up. A name that a listing found, waiting
    // already, is left as it is.
    bool examine(const std::string& name, bool listed = false);
    void remove(const std::string& name, uid_t owner, std::string reason);
    // Puts the next names of the listing among the candidates; false when
    // no listing is under way or due.
    bool listOn(std::size_t& entries);

    std::string queue_;
    common::ILogger& logger_;
    FolderWatch watch_;
    FolderLister lister_;
    HeldInboxes held_;
    InboxRemovals removals_;
    // The names reported are looked at first: a new inbox is found in time
    // while a listing goes through what others left.
    std::deque<std::string> reported_;
    std::deque<std::string> listed_;
    std::unordered_set<std::string> queued_;
    // The folder is to be listed (again): at the start, after the kernel
    // dropped reports, after names were forgotten.
    bool listAgain_ = true;
    bool everListed_ = false;
    std::chrono::steady_clock::time_point lastListing_{};
    uid_t session_ = 0;
};

}  // namespace interprocess
