#include "interprocess/UserInboxes.h"

#include <algorithm>
#include <limits>

namespace interprocess {

namespace {

constexpr char kSeparator = '~';

}  // namespace

std::string UserInboxes::nameFor(const std::string& queue, uid_t uid) {
    return queue + kSeparator + std::to_string(uid);
}

uid_t UserInboxes::userOf(const std::string& queue, const std::string& name) {
    const std::size_t start = queue.size() + 1;
    if (name.size() <= start || name.size() > start + 10 || name[start] == '0' ||
        name.compare(0, queue.size(), queue) != 0 || name[queue.size()] != kSeparator) {
        return 0;
    }
    unsigned long long uid = 0;
    for (std::size_t i = start; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        uid = uid * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return uid < std::numeric_limits<uid_t>::max() ? static_cast<uid_t>(uid) : 0;
}

std::size_t UserInboxes::removeAll(const std::string& queue) {
    std::size_t records = 0;
    for (const auto& name : SharedRecordQueue::namesStartingWith(queue + kSeparator)) {
        if (userOf(queue, name) == 0) {
            continue;
        }
        std::string error;
        if (auto inbox = SharedRecordQueue::open(name, error)) {
            records += inbox->count().value_or(0);
        }
        SharedRecordQueue::clear(name);
    }
    return records;
}

UserInboxes::UserInboxes(std::string queue, common::ILogger& logger)
    : queue_(std::move(queue)), logger_(logger) {}

void UserInboxes::scan() {
    const auto now = std::chrono::steady_clock::now();
    if (scanned_ && now - lastScan_ < kScanInterval) {
        return;
    }
    scanned_ = true;
    lastScan_ = now;
    std::vector<Inbox> found;
    for (const auto& name : SharedRecordQueue::namesStartingWith(queue_ + kSeparator)) {
        const uid_t uid = userOf(queue_, name);
        if (uid == 0) {
            continue;
        }
        const auto held = std::find_if(inboxes_.begin(), inboxes_.end(),
                                       [&](const Inbox& inbox) { return inbox.name == name; });
        if (held != inboxes_.end() && held->queue->isUnder(name)) {
            found.push_back(std::move(*held));
            continue;
        }
        // Only a file of the user's own is the user's inbox: whatever else
        // is there would keep the user's records out.
        std::string error;
        bool unusable = false;
        std::unique_ptr<SharedRecordQueue> queue;
        if (const auto owner = SharedRecordQueue::ownerOf(name); owner != uid) {
            error = owner ? "it belongs to user " + std::to_string(*owner) : "it is no file";
            unusable = true;
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
            continue;
        }
        if (queue) {
            found.push_back(Inbox{name, uid, std::move(queue)});
        }
    }
    inboxes_ = std::move(found);
}

std::size_t UserInboxes::count() {
    scan();
    std::size_t records = 0;
    for (const auto& inbox : inboxes_) {
        bool repaired = false;
        const auto held = inbox.queue->count(&repaired);
        if (!held || repaired) {
            logger_.error("unable to receive message: '%s: %s'", inbox.name.c_str(),
                          inbox.queue->error().c_str());
        }
        records += held.value_or(0);
    }
    return records;
}

SharedRecordQueue::Status UserInboxes::pop(std::vector<std::uint8_t>& record, uid_t& user,
                                           std::string& error) {
    scan();
    for (std::size_t i = 0; i < inboxes_.size(); ++i) {
        const std::size_t at = (next_ + i) % inboxes_.size();
        auto& inbox = inboxes_[at];
        const auto status = inbox.queue->pop(record);
        if (status == SharedRecordQueue::Status::Empty) {
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
