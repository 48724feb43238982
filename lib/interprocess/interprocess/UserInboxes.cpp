#include "interprocess/UserInboxes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <optional>

#include "common/utils/RandomString.h"
#include "interprocess/SessionUser.h"

namespace interprocess {

namespace {

constexpr char kSeparator = '~';
constexpr char kRandomSeparator = '.';

bool isAlphanumeric(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Why what has an inbox name of `user` is no inbox: one is only what its
// sender makes, a regular file of that user's, with this one link, that no
// other user may open. Nothing when it may be one.
std::optional<std::string> whyNoInbox(const struct stat& status, uid_t user) {
    if (!S_ISREG(status.st_mode)) {
        return std::string("it is no file");
    }
    if (status.st_uid != user) {
        return "it belongs to user " + std::to_string(status.st_uid);
    }
    if (status.st_nlink != 1) {
        return "it has " + std::to_string(status.st_nlink) + " links";
    }
    if (auto reason = HeldInboxes::openToOthers(status.st_mode)) {
        return reason;
    }
    if (status.st_size < SharedRecordQueue::kSmallestSize) {
        return std::string("it is no queue");
    }
    return std::nullopt;
}

}  // namespace

std::string UserInboxes::prefixFor(const std::string& queue, uid_t uid) {
    return queue + kSeparator + std::to_string(uid) + kRandomSeparator;
}

uid_t UserInboxes::userOf(const std::string& queue, const std::string& name) {
    // "<queue>~<uid>.<kRandomSize letters and digits>", the uid without
    // leading zeros.
    const std::size_t start = queue.size() + 1;
    const std::size_t dot = name.find(kRandomSeparator, start);
    if (dot == std::string::npos || dot == start || dot > start + 10 || name[start] == '0' ||
        name.size() != dot + 1 + kRandomSize || name.compare(0, queue.size(), queue) != 0 ||
        name[queue.size()] != kSeparator ||
        !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(dot) + 1, name.end(),
                     isAlphanumeric)) {
        return 0;
    }
    unsigned long long uid = 0;
    for (std::size_t i = start; i < dot; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        uid = uid * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return uid < std::numeric_limits<uid_t>::max() ? static_cast<uid_t>(uid) : 0;
}

std::unique_ptr<SharedRecordQueue> UserInboxes::make(const std::string& queue,
                                                     std::uint32_t maxRecords,
                                                     std::uint32_t maxRecordSize,
                                                     std::string& name, std::string& error) {
    for (int attempt = 0; attempt < SharedRecordQueue::kCreateAttempts; ++attempt) {
        name = prefixFor(queue, ::geteuid()) +
               common::randomString(kRandomSize, common::kAlphanumericAlphabet);
        bool taken = false;
        auto inbox = SharedRecordQueue::createNew(name, maxRecords,
                                                  std::min(maxRecordSize, kRecordLimit), error,
                                                  &taken);
        if (inbox || !taken) {
            return inbox;
        }
    }
    error = "no free name to make the inbox under";
    return nullptr;
}

std::size_t UserInboxes::removeAll(const std::string& queue) {
    std::size_t records = 0;
    std::size_t removed = 0;
    FolderLister lister(SharedRecordQueue::kDirectory, queue + kSeparator);
    lister.restart();
    std::vector<std::string> names;
    while (lister.listing() && removed < kMaxRemovedAtStart) {
        names.clear();
        lister.next(kEntriesPerStep, names);
        for (const auto& name : names) {
            const uid_t uid = userOf(queue, name);
            const auto status = uid != 0 ? SharedRecordQueue::statusOf(name) : std::nullopt;
            if (!status) {
                continue;
            }
            // Only an inbox is opened and counted, without waiting for its
            // lock; whatever else is there goes unread.
            std::string error;
            auto inbox = whyNoInbox(*status, uid) ? nullptr : SharedRecordQueue::open(name, error);
            if (inbox && inbox->owner() == uid) {
                inbox->setLockWait(std::chrono::milliseconds(0));
                records += inbox->count().value_or(0);
            }
            SharedRecordQueue::clear(name);
            ++removed;
        }
    }
    return records;
}

UserInboxes::UserInboxes(std::string queue, std::size_t maxRecordSize, common::ILogger& logger,
                         Clock::duration workPerCall, Clock::duration mostWorkPerCall)
    : queue_(std::move(queue)),
      logger_(logger),
      workPerCall_(workPerCall),
      mostWorkPerCall_(mostWorkPerCall),
      watch_(SharedRecordQueue::kDirectory, queue_ + kSeparator),
      held_(maxRecordSize, logger),
      removals_(logger) {
    if (!watch_.watching()) {
        logger_.warn("The folder %s cannot be watched; it is read for new inboxes every %d ms.",
                     SharedRecordQueue::kDirectory, static_cast<int>(kScanInterval.count()));
    }
}

std::size_t UserInboxes::count() {
    session_ = SessionUser::current();
    std::vector<HeldInboxes::Unfit> unfit;
    const std::size_t records = held_.count(unfit);
    for (auto& inbox : unfit) {
        remove(inbox.name, inbox.owner, std::move(inbox.reason));
    }
    return records;
}

SharedRecordQueue::Status UserInboxes::pop(std::vector<std::uint8_t>& record, uid_t& user,
                                           std::string& error) {
    auto status = held_.pop(record, session_, user, error);
    // Nothing counted is left: what came since waits for a count.
    if (status == SharedRecordQueue::Status::Empty && count() > 0) {
        status = held_.pop(record, session_, user, error);
    }
    return status;
}

bool UserInboxes::findSenders() {
    session_ = SessionUser::current();
    const auto start = Clock::now();
    const auto changes = watch_.changes();
    if (changes.everything) {
        (watch_.watching() ? missed_ : relist_) = true;
    }
    for (const auto& name : changes.names) {
        enqueue(name);
    }
    // A name gone costs nothing to look at: an inbox held under it, or
    // waiting, is let go of.
    for (const auto& name : changes.gone) {
        const uid_t user = userOf(queue_, name);
        if (user != 0 && held_.isHeld(user, name) != HeldInboxes::Held::Yes) {
            held_.drop(user, name);
        }
    }
    bool taken = false;
    for (const auto& [user, name] : held_.due(kMaxDuePerCall, session_)) {
        taken = examine(name) || taken;
    }
    // The names reported and the listings share the work: the reports half
    // of it at most while a listing is under way, the listings the rest.
    startListing(start);
    const auto reports = older_ ? 2 : 1;
    taken = lookAtReported(start + workPerCall_ / reports, start + mostWorkPerCall_ / reports) ||
            taken;
    taken = listOn(start + workPerCall_, start + mostWorkPerCall_) || taken;
    removals_.remove(kMaxRemovalsPerCall);
    return taken;
}

bool UserInboxes::lookAtReported(Clock::time_point deadline, Clock::time_point most) {
    bool taken = false;
    for (std::size_t looks = 0; looks < kMaxLooksPerCall && !reported_.empty(); ++looks) {
        if (looks > 0 && looks % kLooksPerStep == 0) {
            const auto now = Clock::now();
            if (now >= deadline && (looks >= kMaxLooksPerCall / 4 || now >= most)) {
                break;
            }
        }
        const std::string name = std::move(reported_.front());
        reported_.pop_front();
        queued_.erase(name);
        taken = examine(name) || taken;
    }
    return taken;
}

void UserInboxes::startListing(Clock::time_point now) {
    const auto interval = watch_.watching() ? Clock::duration(kFullScanInterval)
                                            : Clock::duration(kScanInterval);
    if ((listings_ > 0 && now - lastListing_ < interval) || !(missed_ || (relist_ && !older_))) {
        return;
    }
    auto lister =
        std::make_unique<FolderLister>(SharedRecordQueue::kDirectory, queue_ + kSeparator);
    lister->restart();
    const bool opened = lister->listing();
    if (opened && !older_) {
        olderRemovesOnly_ = !missed_ && watch_.watching();
        older_ = std::move(lister);
    } else if (opened) {
        // A newer listing under way is begun anew; the older goes on.
        newer_ = std::move(lister);
    }
    missed_ = false;
    relist_ = !opened;
    lastListing_ = now;
    ++listings_;
}

bool UserInboxes::listOn(Clock::time_point deadline, Clock::time_point most) {
    bool taken = false;
    std::size_t entries = 0;
    // While newer listings keep starting, each ends before it gets far: the
    // older goes on with a quarter of the work at least, and the work done
    // in any case is halved. Else the newer, which will see whatever the
    // older would, has all of it.
    const auto now = Clock::now();
    const bool shared = newer_ && now - lastListing_ < 2 * kFullScanInterval;
    const std::size_t least = shared ? kMinEntriesPerCall / 2 : kMinEntriesPerCall;
    if (newer_) {
        taken = shared
                    ? listWith(*newer_, now + (deadline - now) * 3 / 4, now + (most - now) * 3 / 4,
                               least * 3 / 4, kMaxEntriesPerCall * 3 / 4, entries)
                    : listWith(*newer_, deadline, most, least, kMaxEntriesPerCall, entries);
        if (!newer_->listing()) {
            newer_.reset();
            older_.reset();
        }
    }
    if (older_ && (!newer_ || shared)) {
        taken = listWith(*older_, deadline, most, least, kMaxEntriesPerCall, entries,
                         olderRemovesOnly_) ||
                taken;
        if (!older_->listing()) {
            older_ = std::move(newer_);
            olderRemovesOnly_ = false;
        }
    }
    return taken;
}

bool UserInboxes::listWith(FolderLister& lister, Clock::time_point deadline,
                           Clock::time_point most, std::size_t minEntries, std::size_t maxEntries,
                           std::size_t& entries, bool removesOnly) {
    bool taken = false;
    std::vector<std::string> names;
    // One step whatever the clock says, so that every listing goes on.
    for (bool first = true;
         lister.listing() && entries < maxEntries && !(removesOnly && removals_.full());
         first = false) {
        if (!first) {
            const auto now = Clock::now();
            if (now >= deadline && (entries >= minEntries || now >= most)) {
                break;
            }
        }
        names.clear();
        const std::size_t read =
            lister.next(std::min(kEntriesPerStep, maxEntries - entries), names);
        entries += read;
        entriesListed_ += read;
        for (const auto& name : names) {
            if (!queued_.contains(name) && !removals_.holds(name)) {
                taken = examine(name, true, lister.fd()) || taken;
            }
        }
    }
    return taken;
}

void UserInboxes::enqueue(const std::string& name) {
    if (userOf(queue_, name) == 0 || queued_.contains(name) || removals_.holds(name)) {
        return;
    }
    if (reported_.size() >= kMaxCandidates) {
        missed_ = true;
        return;
    }
    reported_.push_back(name);
    queued_.insert(name);
}

void UserInboxes::remove(const std::string& name, uid_t owner, std::string reason) {
    if (!removals_.add(name, owner, std::move(reason))) {
        relist_ = true;
    }
}

bool UserInboxes::examine(const std::string& name, bool listed, int folder) {
    const uid_t user = userOf(queue_, name);
    if (user == 0) {
        return false;
    }
    // Held and still there: nothing to do. Else it is looked at anew, as it
    // is now.
    const auto held = held_.isHeld(user, name);
    if (held == HeldInboxes::Held::Yes || (listed && held == HeldInboxes::Held::Waiting)) {
        return false;
    }
    held_.drop(user, name);
    ++looked_;
    const auto status = SharedRecordQueue::statusOf(name, folder);
    if (!status) {
        return false;
    }
    if (auto reason = whyNoInbox(*status, user)) {
        remove(name, status->st_uid, std::move(*reason));
        return false;
    }
    if (!held_.makeRoom(user, session_)) {
        if (!held_.wait(user, name)) {
            remove(name, user,
                   "user " + std::to_string(user) + " has " +
                       std::to_string(HeldInboxes::kMaxWaitingPerUser) +
                       " more inboxes waiting already");
        }
        return false;
    }
    std::string error;
    bool unusable = false;
    auto queue = SharedRecordQueue::open(name, error, &unusable);
    // What was opened is judged, not what the name showed a moment before.
    const auto opened = queue ? queue->status() : std::nullopt;
    if (queue) {
        const auto reason = opened ? whyNoInbox(*opened, user) : std::string("it cannot be read");
        if (reason) {
            error = *reason;
            unusable = true;
            queue.reset();
        }
    }
    if (!queue) {
        if (unusable) {
            remove(name, opened ? opened->st_uid : status->st_uid, error);
        }
        return false;
    }
    // A user who holds its inbox's lock costs root nothing: the inbox
    // waits for the next poll.
    queue->setLockWait(std::chrono::milliseconds(0));
    held_.add(user, name, std::move(queue));
    return true;
}

}  // namespace interprocess
