#include "interprocess/UserInboxes.h"

#include <unistd.h>

#include <algorithm>
#include <limits>

#include "common/utils/RandomString.h"

namespace interprocess {

namespace {

constexpr char kSeparator = '~';
constexpr char kRandomSeparator = '.';

bool isAlphanumeric(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
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
    for (const auto& name : SharedRecordQueue::namesStartingWith(queue + kSeparator)) {
        const uid_t uid = userOf(queue, name);
        if (uid == 0) {
            continue;
        }
        // Only a queue of the user the name gives is opened and counted,
        // without waiting for its lock; whatever else is there goes unread.
        std::string error;
        std::unique_ptr<SharedRecordQueue> inbox;
        if (SharedRecordQueue::ownerOf(name) == uid) {
            inbox = SharedRecordQueue::open(name, error);
        }
        if (inbox && inbox->owner() == uid) {
            inbox->setLockWait(std::chrono::milliseconds(0));
            records += inbox->count().value_or(0);
        }
        SharedRecordQueue::clear(name);
    }
    return records;
}

UserInboxes::UserInboxes(std::string queue, std::size_t maxRecordSize, common::ILogger& logger)
    : queue_(std::move(queue)),
      maxRecordSize_(maxRecordSize),
      logger_(logger),
      watch_(SharedRecordQueue::kDirectory, queue_ + kSeparator) {
    if (!watch_.watching()) {
        logger_.warn("The folder %s cannot be watched; it is read for new inboxes every %d ms.",
                     SharedRecordQueue::kDirectory, static_cast<int>(kScanInterval.count()));
    }
}

void UserInboxes::scan() {
    // The kernel's reports cost one read when there are none; the whole
    // folder is read only when the kernel did not say what changed, and
    // not more often than that costs little however full the folder is.
    auto changes = watch_.changes();
    readPending_ = readPending_ || changes.everything;
    const auto now = std::chrono::steady_clock::now();
    const auto readInterval = watch_.watching() ? std::chrono::steady_clock::duration(
                                                      kFullScanInterval)
                                                : std::chrono::steady_clock::duration(
                                                      kScanInterval);
    if (readPending_ && (!scanned_ || now - lastRead_ >= readInterval)) {
        readPending_ = false;
        lastRead_ = now;
        scanned_ = true;
        readFolder();
        return;
    }
    for (const auto& name : changes.names) {
        examine(name);
    }
    if (freed_ && !waiting_.empty()) {
        const std::vector<std::string> waiting(waiting_.begin(), waiting_.end());
        for (const auto& name : waiting) {
            examine(name);
        }
    }
    freed_ = false;
}

void UserInboxes::readFolder() {
    const auto names = SharedRecordQueue::namesStartingWith(queue_ + kSeparator);
    const std::set<std::string> present(names.begin(), names.end());
    inboxes_.erase(std::remove_if(inboxes_.begin(), inboxes_.end(),
                                  [&](const Inbox& inbox) { return !present.count(inbox.name); }),
                   inboxes_.end());
    waiting_.clear();
    freed_ = false;
    for (const auto& name : names) {
        examine(name);
    }
}

std::size_t UserInboxes::inboxesOf(uid_t user) const {
    return static_cast<std::size_t>(std::count_if(
        inboxes_.begin(), inboxes_.end(), [&](const Inbox& inbox) { return inbox.user == user; }));
}

void UserInboxes::examine(const std::string& name) {
    const uid_t uid = userOf(queue_, name);
    if (uid == 0) {
        return;
    }
    waiting_.erase(name);
    const auto held = std::find_if(inboxes_.begin(), inboxes_.end(),
                                   [&](const Inbox& inbox) { return inbox.name == name; });
    if (held != inboxes_.end()) {
        if (held->queue->isUnder(name)) {
            return;
        }
        inboxes_.erase(held);
        freed_ = true;
    }
    // Only a file of the user's own is the user's inbox; whatever else is
    // there is removed, unread.
    std::string error;
    bool unusable = false;
    std::unique_ptr<SharedRecordQueue> queue;
    if (const auto owner = SharedRecordQueue::ownerOf(name); owner != uid) {
        error = owner ? "it belongs to user " + std::to_string(*owner) : "it is no file";
        unusable = true;
    } else if (inboxesOf(uid) >= kMaxInboxesPerUser) {
        if (waiting_.size() < kMaxWaiting) {
            waiting_.insert(name);
        } else {
            readPending_ = true;
        }
        return;
    } else {
        queue = SharedRecordQueue::open(name, error, &unusable);
    }
    if (queue && queue->owner() != uid) {
        error = "it belongs to user " + std::to_string(queue->owner());
        unusable = true;
    }
    if (unusable) {
        if (SharedRecordQueue::clear(name)) {
            logger_.error("removing the inbox %s: '%s'", name.c_str(), error.c_str());
        }
        return;
    }
    if (queue) {
        // A user who holds its inbox's lock costs root nothing: the inbox
        // waits for the next poll.
        queue->setLockWait(std::chrono::milliseconds(0));
        inboxes_.push_back(Inbox{name, uid, std::move(queue)});
    }
}

void UserInboxes::noteBusy(Inbox& inbox) {
    inbox.busy = true;
    if (!inbox.busyLogged) {
        inbox.busyLogged = true;
        logger_.error("unable to receive message: '%s: %s'", inbox.name.c_str(),
                      inbox.queue->error().c_str());
    }
}

std::size_t UserInboxes::count() {
    scan();
    std::size_t records = 0;
    for (auto inbox = inboxes_.begin(); inbox != inboxes_.end();) {
        bool repaired = false;
        const auto held = inbox->queue->count(&repaired);
        inbox->busy = false;
        if (!held) {
            noteBusy(*inbox);
            ++inbox;
            continue;
        }
        inbox->busyLogged = false;
        if (repaired) {
            logger_.error("unable to receive message: '%s: %s'", inbox->name.c_str(),
                          inbox->queue->error().c_str());
        }
        // Its sender ended and it was read whole (a repaired one stays until
        // the next poll).
        if (*held == 0 && !repaired && inbox->queue->removeIfUnused(inbox->name)) {
            inbox = inboxes_.erase(inbox);
            freed_ = true;
            continue;
        }
        records += *held;
        ++inbox;
    }
    return records;
}

SharedRecordQueue::Status UserInboxes::pop(std::vector<std::uint8_t>& record, uid_t& user,
                                           std::string& error) {
    scan();
    for (std::size_t i = 0; i < inboxes_.size(); ++i) {
        const std::size_t at = (next_ + i) % inboxes_.size();
        auto& inbox = inboxes_[at];
        if (inbox.busy) {
            continue;
        }
        const auto status = inbox.queue->pop(record, maxRecordSize_);
        if (status == SharedRecordQueue::Status::Empty) {
            continue;
        }
        if (status == SharedRecordQueue::Status::Busy) {
            noteBusy(inbox);
            continue;
        }
        next_ = at + 1;
        user = inbox.user;
        if (status != SharedRecordQueue::Status::Ok) {
            error = inbox.name + ": " + inbox.queue->error();
        }
        return status;
    }
    return SharedRecordQueue::Status::Empty;
}

}  // namespace interprocess
