#pragma once

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/logging/ILogger.h"
#include "interprocess/FolderLister.h"
#include "interprocess/FolderWatch.h"
#include "interprocess/HeldInboxes.h"
#include "interprocess/InboxRemovals.h"
#include "interprocess/NameSet.h"
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
// of names others make there holds up a record. New names are found from the
// kernel's reports, and by listings of the folder when the kernel dropped
// some: both have a share of every call, so that neither waits for the other
// however many names others make, and a listing goes on whether or not what
// it finds to remove can be kept for removal. What a call does in any case
// is bounded by the clock as well, and the names others choose are kept in
// sets whose look-ups no choice of names makes long (NameSet), so that no
// cost per name stretches a call. Under a name of that form only a regular
// file of the user the name gives, with one link and no access for other
// users, is an inbox; anything else is removed, a batch at a time
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
    // The work of one findSenders: its looks at the names reported and its
    // listings take kWorkPerCall at most past what they do in any case (a
    // quarter of the looks, kMinEntriesPerCall entries, half of them while
    // newer listings keep starting), and that takes kMostWorkPerCall at most:
    // past it, each does one step, kLooksPerStep looks and kEntriesPerStep
    // entries of each listing. Names reported looked at, entries removed,
    // folder entries listed, at most.
    static constexpr std::chrono::milliseconds kWorkPerCall{5};
    static constexpr std::chrono::milliseconds kMostWorkPerCall{40};
    static constexpr std::size_t kLooksPerStep = 16;
    static constexpr std::size_t kEntriesPerStep = 64;
    static constexpr std::size_t kMaxLooksPerCall = 1024;
    static constexpr std::size_t kMaxRemovalsPerCall = 256;
    static constexpr std::size_t kMinEntriesPerCall = 8192;
    static constexpr std::size_t kMaxEntriesPerCall = 16384;
    // Waiting inboxes tried by one findSenders.
    static constexpr std::size_t kMaxDuePerCall = 16;
    // Names reported not looked at yet: past them a name is forgotten, and
    // the folder listed again.
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
    // queue's; `workPerCall`, `mostWorkPerCall`: the times findSenders takes
    // at most, beyond what it does in any case and for it.
    UserInboxes(std::string queue, std::size_t maxRecordSize, common::ILogger& logger,
                std::chrono::steady_clock::duration workPerCall = kWorkPerCall,
                std::chrono::steady_clock::duration mostWorkPerCall = kMostWorkPerCall);

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
    // What the calls cost so far: the folder entries read, the listings
    // started, and the names whose entries were looked at.
    std::size_t entriesListed() const { return entriesListed_; }
    std::size_t listingsStarted() const { return listings_; }
    std::size_t namesLookedAt() const { return looked_; }
    // Whether a listing of the folder is under way.
    bool listing() const { return older_ != nullptr; }
    // The most names a look-up in the sets of names walks now.
    std::size_t longestWalk() const {
        return std::max(queued_.longestWalk(), removals_.longestWalk());
    }

private:
    using Clock = std::chrono::steady_clock;

    // The user an inbox name is for; 0 for a name that is none.
    static uid_t userOf(const std::string& queue, const std::string& name);
    // Keeps a name the kernel reported to be looked at.
    void enqueue(const std::string& name);
    // Takes up, lets go of, keeps waiting or removes what has that name;
    // true when an inbox was taken up. A name that a listing found, waiting
    // already, is left as it is; `folder`: the listing's descriptor of the
    // folder.
    bool examine(const std::string& name, bool listed = false, int folder = -1);
    void remove(const std::string& name, uid_t owner, std::string reason);
    // Looks at the names reported until `deadline` (what it does in any
    // case until `most`), kMaxLooksPerCall at most.
    bool lookAtReported(Clock::time_point deadline, Clock::time_point most);
    // Starts a listing when one is due.
    void startListing(Clock::time_point now);
    // Goes on with the listings until `deadline` (what they do in any case
    // until `most`), within the bounds of entries.
    bool listOn(Clock::time_point deadline, Clock::time_point most);
    // Goes on with `lister` for one step, then while `entries` (what this
    // call read so far) is below `minEntries` until `most`, or until
    // `deadline`, while it is below `maxEntries` and to its end at most; with
    // `removesOnly`, only while more can be kept for removal.
    bool listWith(FolderLister& lister, Clock::time_point deadline, Clock::time_point most,
                  std::size_t minEntries, std::size_t maxEntries, std::size_t& entries,
                  bool removesOnly = false);

    std::string queue_;
    common::ILogger& logger_;
    Clock::duration workPerCall_;
    Clock::duration mostWorkPerCall_;
    FolderWatch watch_;
    HeldInboxes held_;
    InboxRemovals removals_;
    std::deque<std::string> reported_;
    NameSet queued_;
    // The listing under way longest, and one started since when the kernel
    // dropped reports meanwhile: the newer one finds a name made since the
    // older began without waiting for the older's end (where a folder lists
    // its newest entries first), while the older goes on with a quarter of
    // the work as long as newer ones keep starting. Once the newer ends, the
    // older has nothing left that the newer did not see.
    std::unique_ptr<FolderLister> older_;
    std::unique_ptr<FolderLister> newer_;
    // The older listing began only to look again at names left, none having
    // come unreported: it goes on only while more can be kept for removal.
    bool olderRemovesOnly_ = false;
    // Names may have come unreported (the kernel dropped reports, or names
    // reported were forgotten): a listing starts when due, beside one under
    // way.
    bool missed_ = true;
    // Names were left that a listing is to see again (they could not be kept
    // for removal, or the folder cannot be watched): a listing starts when due
    // and none is under way.
    bool relist_ = false;
    Clock::time_point lastListing_{};
    std::size_t listings_ = 0;
    std::size_t entriesListed_ = 0;
    std::size_t looked_ = 0;
    uid_t session_ = 0;
};

}  // namespace interprocess
