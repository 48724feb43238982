#include "interprocess/DataLink.h"

#include <unistd.h>

#include <algorithm>
#include <optional>

#include "helper/ApplicationType.h"
#include "interprocess/DataLinkRecord.h"
#include "interprocess/KindUsers.h"

namespace interprocess {

namespace {

// Only the own user and root write a process's queue; other users' records
// for a root process go into their inboxes beside it (UserInboxes).
constexpr mode_t kQueueMode = 0600;

}  // namespace

bool DataLink::isValidName(const std::string& name) {
    return name.size() <= kMaxNameSize && std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '.' || c == '-';
           });
}

std::unique_ptr<IDataLink> DataLink::create(const std::string& prefix, const std::string& name,
                                            std::unique_ptr<common::ILogger> logger) {
    if (!logger) {
        logger = common::createLogger("DataLink");
    }
    return std::make_unique<DataLink>(prefix, name, std::move(logger));
}

std::string DataLink::queueName(const std::string& prefix, const std::string& name) {
    return prefix + "_" + name;
}

DataLink::DataLink(const std::string& prefix, const std::string& name,
                   std::unique_ptr<common::ILogger> logger)
    : prefix_(prefix), name_(name), logger_(std::move(logger)) {
    logger_->debug("Constructing datalink, name: %s", name_.c_str());
    logger_->setSubName(name_);
}

DataLink::~DataLink() {
    logger_->debug("Destroying datalink, name: %s", name_.c_str());
    leaveInboxes();
    queue_.reset();
}

void DataLink::leaveInboxes() {
    for (const auto& [target, inbox] : ownInboxes_) {
        inbox.queue->removeIfUnused(inbox.name);
    }
    ownInboxes_.clear();
}

SharedRecordQueue* DataLink::ownInbox(const std::string& target, std::string& error) {
    // One that is gone (the root process dropped its inboxes when it started
    // anew) is replaced.
    const auto held = ownInboxes_.find(target);
    if (held != ownInboxes_.end() && held->second.queue->isUnder(held->second.name)) {
        return held->second.queue.get();
    }
    OwnInbox inbox;
    inbox.queue = UserInboxes::make(target, static_cast<std::uint32_t>(maxMsgCount_),
                                    static_cast<std::uint32_t>(maxMsgSize_), inbox.name, error);
    if (!inbox.queue) {
        ownInboxes_.erase(target);
        return nullptr;
    }
    return (ownInboxes_[target] = std::move(inbox)).queue.get();
}

bool DataLink::stop() {
    if (isStopped()) {
        return false;
    }
    logger_->debug("Stopping datalink, name: %s", name_.c_str());
    leaveInboxes();
    if (queue_) {
        queue_.reset();
        inboxes_.reset();
        maxMsgCount_ = 0;
        maxMsgSize_ = 0;
    }
    return markStopped();
}

bool DataLink::init(const std::size_t& maxMsgCount, const std::size_t& maxMsgSize) {
    logger_->debug("Initializing datalink, name: %s", name_.c_str());
    if (name_.empty() || !isValidName(name_) || !isValidName(prefix_)) {
        logger_->error("unable to create ipc message queue: '%s'", "invalid name");
        return false;
    }
    maxMsgCount_ = maxMsgCount;
    maxMsgSize_ = maxMsgSize;
    const std::string own = queueName(prefix_, KindUsers::ownName(name_, ::geteuid()));
    queue_.reset();
    // What an earlier run left is counted, then replaced with its queue: a
    // queue's dimensions and its owner are those of its creation.
    std::optional<std::size_t> leftovers = 0;
    std::string error;
    inboxes_.reset();
    if (auto old = SharedRecordQueue::open(own, error)) {
        leftovers = old->count();
        if (!leftovers) {
            logger_->warn("The queue's lock is held by another process; replacing it.");
        }
    }
    queue_ = SharedRecordQueue::create(own, static_cast<std::uint32_t>(maxMsgCount),
                                       static_cast<std::uint32_t>(maxMsgSize), kQueueMode,
                                       error);
    if (!queue_) {
        logger_->error("unable to create ipc message queue: '%s'", error.c_str());
        return false;
    }
    if (::geteuid() == 0) {
        const std::size_t waiting = UserInboxes::removeAll(own);
        if (leftovers) {
            *leftovers += waiting;
        }
        inboxes_ = std::make_unique<UserInboxes>(own, queue_->maxRecordSize(), *logger_);
    }
    if (leftovers) {
        logger_->debug("There are %d messages in the queue.", static_cast<int>(*leftovers));
    }
    return true;
}

bool DataLink::send(const std::string& to, const std::vector<std::uint8_t>& payload, bool sync,
                    std::int64_t id, bool toListener, bool ack, bool quiet) {
    const std::string target = queueName(prefix_, KindUsers::peerName(to, ::geteuid()));
    if (!quiet) {
        const std::string text(payload.begin(), payload.end());
        logger_->trace("Sending msg to: %s (%s) Id: %lld Message: %s", to.c_str(), target.c_str(),
                       static_cast<long long>(id), text.c_str());
    }
    if (to.empty() || !isValidName(to)) {
        logger_->error("unable to send message, error: '%s'! Filename: %s", "invalid name",
                       target.c_str());
        return false;
    }
    if (payload.size() > maxMsgSize_) {
        logger_->warn("message size (%d) is bigger than max message size (%d)",
                      static_cast<int>(payload.size()), static_cast<int>(maxMsgSize_));
        return false;
    }
    // Into a root process's queue another user's record goes through an
    // inbox of this process's own beside it.
    const uid_t self = ::geteuid();
    const bool throughInbox = self != 0 && SharedRecordQueue::ownerOf(target) == 0u;
    std::string error;
    std::unique_ptr<SharedRecordQueue> opened;
    SharedRecordQueue* queue = nullptr;
    if (throughInbox) {
        queue = ownInbox(target, error);
    } else {
        opened = SharedRecordQueue::open(target, error);
        queue = opened.get();
    }
    if (queue == nullptr) {
        logger_->error("unable to send message, error: '%s'! Filename: %s", error.c_str(),
                       target.c_str());
        return false;
    }
    if (!throughInbox && !KindUsers::mayOwnQueue(helper::fromString(to), queue->owner(), self)) {
        logger_->error("unable to send message, error: '%s'! Filename: %s",
                       ("the queue belongs to user " + std::to_string(queue->owner())).c_str(),
                       target.c_str());
        return false;
    }
    DataLinkRecord record;
    record.from = name_;
    record.to = to;
    record.sync = sync;
    record.id = id;
    record.toListener = toListener;
    record.ack = ack;
    record.payload = payload;
    if (record.size() > maxMsgSize_) {
        logger_->warn("message size is (%d) bigger than max message size (%d) after adding metadata",
                      static_cast<int>(record.size()), static_cast<int>(maxMsgSize_));
        return false;
    }
    const auto bytes = record.encode();
    switch (queue->push(bytes.data(), bytes.size())) {
        case SharedRecordQueue::Status::Ok:
            return true;
        case SharedRecordQueue::Status::Full:
            logger_->error("Something went wrong, try send failed. Filename: %s", target.c_str());
            return false;
        default:
            logger_->error("unable to send message, error: '%s'! Filename: %s",
                           queue->error().c_str(), target.c_str());
            return false;
    }
}

bool DataLink::receive(std::vector<std::uint8_t>& payload, std::string& from, bool& sync,
                       std::int64_t& id, bool& toListener, bool& ack, bool discard) {
    if (!queue_) {
        logger_->error("MessageQueue is not initialed");
        return false;
    }
    // The own queue first: only root writes it, and no user can hold it up.
    // The inboxes take turns after it.
    std::vector<std::uint8_t> buffer;
    std::string error;
    // The user whose inbox the record came from; none for the own queue.
    std::optional<uid_t> sender;
    const auto fromOwn = [&] {
        const auto status = queue_->pop(buffer);
        error = queue_->error();
        return status;
    };
    const auto fromInboxes = [&] {
        uid_t user = 0;
        const auto status =
            inboxes_ ? inboxes_->pop(buffer, user, error) : SharedRecordQueue::Status::Empty;
        if (status != SharedRecordQueue::Status::Empty) {
            sender = user;
        }
        return status;
    };
    auto status = fromOwn();
    if (status == SharedRecordQueue::Status::Empty) {
        status = fromInboxes();
    }
    if (status == SharedRecordQueue::Status::Empty) {
        return false;
    }
    if (status != SharedRecordQueue::Status::Ok) {
        logger_->error("unable to receive message: '%s'", error.c_str());
        return false;
    }
    if (buffer.empty()) {
        logger_->warn("Empty message received from '%s' with %d id.", from.c_str(),
                      static_cast<int>(id));
        return false;
    }
    if (discard) {
        return true;
    }
    DataLinkRecord record;
    DataLinkRecord::decode(buffer.data(), buffer.size(), record, *logger_);
    // Another user speaks only as a kind that user may be, as in a greeting.
    if (sender && !KindUsers::mayGreet(helper::fromString(record.from), *sender, ::geteuid())) {
        logger_->warn("Refusing a message as '%s' from user %u: that kind does not run as that "
                      "user here",
                      record.from.c_str(), static_cast<unsigned>(*sender));
        return false;
    }
    payload = record.payload;
    sync = record.sync;
    id = record.id;
    toListener = record.toListener;
    ack = record.ack;
    if (record.to != name_) {
        logger_->warn("message addressee ('%s') different then destination ('%s')",
                      record.to.c_str(), name_.c_str());
        return false;
    }
    if (payload.empty()) {
        logger_->warn("Buffer is empty in message");
    }
    from = record.from;
    return !payload.empty();
}

std::string DataLink::name() const {
    return name_;
}

std::size_t DataLink::pendingCount() const {
    if (!queue_) {
        return 0;
    }
    bool repaired = false;
    const auto held = queue_->count(&repaired);
    if (!held || repaired) {
        logger_->error("unable to receive message: '%s'", queue_->error().c_str());
    }
    return held.value_or(0) + (inboxes_ ? inboxes_->count() : 0);
}

bool DataLink::findSenders() {
    return inboxes_ && inboxes_->findSenders();
}

}  // namespace interprocess
