#include "interprocess/DataLink.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include <boost/interprocess/permissions.hpp>

#include "interprocess/DataLinkRecord.h"

namespace interprocess {

namespace bip = boost::interprocess;

namespace {

// Read and write for everybody: the product's processes run as several users.
constexpr int kQueuePermissions = 0666;

// How long counting what an earlier run left may take.
constexpr std::chrono::milliseconds kLeftoverCountLimit(500);

std::size_t recordsIn(const bip::message_queue& queue) {
    return static_cast<std::size_t>(queue.get_num_msg());
}

// The records in the queue an earlier run left under `name` (0 when there is
// none), or nothing when its lock is not free in time: a process killed
// inside a queue operation leaves the lock held for good. The count then
// stays blocked on a thread of its own, and the queue is replaced anyway.
std::optional<std::size_t> leftoverRecords(const std::string& name) {
    auto count = std::make_shared<std::promise<std::size_t>>();
    auto counted = count->get_future();
    std::thread([name, count] {
        try {
            bip::message_queue old(bip::open_only, name.c_str());
            count->set_value(recordsIn(old));
        } catch (const bip::interprocess_exception&) {
            count->set_value(0);
        }
    }).detach();
    if (counted.wait_for(kLeftoverCountLimit) != std::future_status::ready) {
        return std::nullopt;
    }
    return counted.get();
}

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
    queue_.reset();
}

bool DataLink::stop() {
    if (isStopped()) {
        return false;
    }
    logger_->debug("Stopping datalink, name: %s", name_.c_str());
    if (queue_) {
        queue_.reset();
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
    const std::string own = queueName(prefix_, name_);
    queue_.reset();
    try {
        // A queue left by an earlier run keeps its own dimensions, and maybe
        // a lock its killed owner held: count what it holds, then replace it.
        const auto leftovers = leftoverRecords(own);
        if (!leftovers) {
            logger_->warn("The queue's lock is held by a process that ended; replacing it.");
        }
        bip::message_queue::remove(own.c_str());
        bip::permissions permissions(kQueuePermissions);
        queue_ = std::make_unique<bip::message_queue>(bip::create_only, own.c_str(), maxMsgCount,
                                                      maxMsgSize, permissions);
        if (leftovers) {
            logger_->debug("There are %d messages in the queue.", static_cast<int>(*leftovers));
        }
        return true;
    } catch (const bip::interprocess_exception& e) {
        logger_->error("unable to create ipc message queue: '%s'", e.what());
        queue_.reset();
        return false;
    }
}

bool DataLink::send(const std::string& to, const std::vector<std::uint8_t>& payload, bool sync,
                    std::int64_t id, bool toListener, bool ack, bool quiet) {
    const std::string target = queueName(prefix_, to);
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
    try {
        bip::message_queue queue(bip::open_only, target.c_str());
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
        if (!queue.try_send(bytes.data(), bytes.size(), 0)) {
            logger_->error("Something went wrong, try send failed. Filename: %s", target.c_str());
            return false;
        }
        return true;
    } catch (const bip::interprocess_exception& e) {
        logger_->error("unable to send message, error: '%s'! Filename: %s", e.what(),
                       target.c_str());
        return false;
    }
}

bool DataLink::receive(std::vector<std::uint8_t>& payload, std::string& from, bool& sync,
                       std::int64_t& id, bool& toListener, bool& ack, bool discard) {
    if (!queue_) {
        logger_->error("MessageQueue is not initialed");
        return false;
    }
    try {
        std::vector<std::uint8_t> buffer(maxMsgSize_);
        bip::message_queue::size_type received = 0;
        unsigned int priority = 0;
        if (!queue_->try_receive(buffer.data(), buffer.size(), received, priority)) {
            return false;
        }
        if (received == 0) {
            logger_->warn("Empty message received from '%s' with %d id.", from.c_str(),
                          static_cast<int>(id));
            return false;
        }
        if (discard) {
            return true;
        }
        DataLinkRecord record;
        DataLinkRecord::decode(buffer.data(), received, record, *logger_);
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
    } catch (const bip::interprocess_exception& e) {
        logger_->error("unable to receive message: '%s'", e.what());
        return false;
    }
}

std::string DataLink::name() const {
    return name_;
}

std::size_t DataLink::pendingCount() const {
    return queue_ ? recordsIn(*queue_) : 0;
}

}  // namespace interprocess
