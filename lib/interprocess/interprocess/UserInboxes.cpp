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
// Folder entries a listing reads at a time.
constexpr std::size_t kListingStep = 256;

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
        lister.next(kListingStep, names);
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

UserInboxes::UserInboxes(std::string queue, std::size_t maxRecordSize, common::ILogger& logger)
    : queue_(std::move(queue)),
      logger_(logger),
      watch_(SharedRecordQueue::kDirectory, queue_ + kSeparator),
      lister_(SharedRecordQueue::kDirectory, queue_ + kSeparator),
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
    const auto changes = watch_.changes();
    listAgain_ = listAgain_ || changes.everything;
    for (const auto& name : changes.names) {
        enqueue(reported_, name);
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
    // The names reported first, then those a listing finds, when one is due
    // and what it would find to remove can be kept.
    std::size_t entries = 0;
    for (std::size_t looks = 0; looks < kMaxLooksPerCall;) {
        auto& candidates = !reported_.empty() ? reported_ : listed_;
        if (candidates.empty()) {
            if (removals_.full() || !listOn(entries)) {
                break;
            }
            continue;
        }
        const bool listed = &candidates == &listed_;
        const std::string name = std::move(candidates.front());
        candidates.pop_front();
        queued_.erase(name);
        taken = examine(name, listed) || taken;
        ++looks;
    }
    removals_.remove(kMaxRemovalsPerCall);
    return taken;
}

bool UserInboxes::listOn(std::size_t& entries) {
    if (entries >= kMaxEntriesPerCall) {
        return false;
    }
    if (!lister_.listing()) {
        const auto now = std::chrono::steady_clock::now();
        const auto interval = watch_.watching()
                                  ? std::chrono::steady_clock::duration(kFullScanInterval)
                                  : std::chrono::steady_clock::duration(kScanInterval);
        if (!listAgain_ || (everListed_ && now - lastListing_ < interval)) {
            return false;
        }
        listAgain_ = false;
        everListed_ = true;
        lastListing_ = now;
        lister_.restart();
    }
    std::vector<std::string> names;
    const std::size_t step = std::min(kListingStep, kMaxEntriesPerCall - entries);
    lister_.next(step, names);
    entries += step;
    for (const auto& name : names) {
        enqueue(listed_, name);
    }
    return true;
}

void UserInboxes::enqueue(std::deque<std::string>& candidates, const std::string& name) {
    if (userOf(queue_, name) == 0 || queued_.count(name) != 0 || removals_.holds(name)) {
        return;
    }
    if (candidates.size() >= kMaxCandidates) {
        listAgain_ = true;
        return;
    }
    candidates.push_back(name);
    queued_.insert(name);
}

void UserInboxes::remove(const std::string& name, uid_t owner, std::string reason) {
    if (!removals_.add(name, owner, std::move(reason))) {
        listAgain_ = true;
    }
}

bool UserInboxes::examine(const std::string& name, bool listed) {
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
    const auto status = SharedRecordQueue::statusOf(name);
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
