#include "interprocess/AsynchronousDataLink.h"

#include <thread>
#include <variant>

#include "interprocess/JsonSerialization.h"
#include "interprocess/UserInboxes.h"

namespace interprocess {

namespace {

constexpr std::chrono::milliseconds kSyncPumpPause(10);

// Another user's records for a root process come through inboxes sized as
// the root process's own queue.
static_assert(AsynchronousDataLink::kMaxMsgSize == UserInboxes::kRecordLimit);

bool isKeepAlive(const protocol::Command& command) {
    return std::holds_alternative<protocol::Ping>(command) ||
           std::holds_alternative<protocol::Pong>(command);
}

}  // namespace

std::shared_ptr<AsynchronousDataLink> AsynchronousDataLink::create(
    std::unique_ptr<IDataLink> link, std::unique_ptr<common::ITaskQueue> queue,
    std::unique_ptr<common::ILogger> logger) {
    if (!logger) {
        logger = common::createLogger("IpcNetwork");
    }
    return std::make_shared<AsynchronousDataLink>(std::move(link), std::move(queue),
                                                  std::move(logger));
}

AsynchronousDataLink::AsynchronousDataLink(std::unique_ptr<IDataLink> link,
                                           std::unique_ptr<common::ITaskQueue> queue,
                                           std::unique_ptr<common::ILogger> logger)
    : link_(std::move(link)), queue_(std::move(queue)), logger_(std::move(logger)) {
    logger_->trace("Constructing asynchronous datalink, name: %s", name().c_str());
}

AsynchronousDataLink::~AsynchronousDataLink() {
    logger_->trace("Destroying asynchronous datalink, name: %s", name().c_str());
    stop();
}

bool AsynchronousDataLink::init() {
    logger_->trace("Initializing asynchronous datalink, name: %s", name().c_str());
    if (!link_ || !link_->init(kMaxMsgCount, kMaxMsgSize)) {
        logger_->error("unable to initialize data link");
        return false;
    }
    running_ = true;
    queue_->push([this](bool& reschedule, unsigned long) { poll(reschedule); }, kPollInterval,
                 kPriority);
    return true;
}

void AsynchronousDataLink::poll(bool& reschedule) {
    if (!running_) {
        return;
    }
    // What waits is taken first; looking for new senders comes after it, so
    // that no number of them holds up what was sent. The records of one found
    // are taken at once, within what is left of the poll's bounds.
    std::chrono::steady_clock::time_point deadline{};
    const std::size_t taken = takeWaiting(kMaxRecordsPerPoll, deadline);
    if (running_ && link_ && link_->findSenders() && taken < kMaxRecordsPerPoll &&
        std::chrono::steady_clock::now() < deadline) {
        takeWaiting(kMaxRecordsPerPoll - taken, deadline);
    }
    reschedule = running_;
}

std::size_t AsynchronousDataLink::takeWaiting(std::size_t limit,
                                              std::chrono::steady_clock::time_point& deadline) {
    // What is there now, in order; records that arrive meanwhile wait for
    // the next poll, so one busy peer cannot hold the queue's thread.
    // Taking ends early once it has cost kPollBudget (counted from after the
    // first count, which has its own bound): a queue whose lock another
    // process holds costs one bounded wait, not one per record.
    const std::size_t present = link_ ? std::min(link_->pendingCount(), limit) : 0;
    if (deadline == std::chrono::steady_clock::time_point{}) {
        deadline = std::chrono::steady_clock::now() + kPollBudget;
    }
    std::size_t taken = 0;
    while (taken < present && running_) {
        receiveOne();
        ++taken;
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
    }
    return taken;
}

bool AsynchronousDataLink::receiveOne() {
    std::vector<std::uint8_t> payload;
    std::string from;
    bool sync = false;
    std::int64_t id = 0;
    bool toListener = false;
    bool ack = false;
    if (!link_->receive(payload, from, sync, id, toListener, ack, false)) {
        return false;
    }
    handle(payload, from, sync, id, toListener, ack);
    return true;
}

void AsynchronousDataLink::send(const std::string& to, const std::string& text,
                                std::function<void(bool)> callback, bool toListener, bool quiet) {
    // The callback is shared with the task, so that a task the queue refuses
    // (once stopped) still gets its answer.
    auto shared = std::make_shared<std::function<void(bool)>>(std::move(callback));
    const auto id = queue_->push(
        [this, to, text, shared, toListener, quiet](bool&, unsigned long) {
            auto& callback = *shared;
            if (!link_) {
                callback(false);
                return;
            }
            const std::vector<std::uint8_t> payload(text.begin(), text.end());
            callback(link_->send(to, payload, false, ++lastId_, toListener, false, quiet));
        },
        kPriority);
    if (id == common::ITaskQueue::kInvalidTaskId) {
        (*shared)(false);
    }
}

bool AsynchronousDataLink::sendSync(const std::string to, const std::string text) {
    if (!link_) {
        return false;
    }
    const std::int64_t id = ++lastId_;
    pendingAcks_.insert(id);
    const std::vector<std::uint8_t> payload(text.begin(), text.end());
    if (!link_->send(to, payload, true, id, false, false, false)) {
        pendingAcks_.erase(id);
        return false;
    }
    logger_->trace("Msg sent sync to: %s Id: %lld Message: %s", to.c_str(),
                   static_cast<long long>(id), text.c_str());
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (pendingAcks_.count(id) == 0) {
            return true;
        }
        if (std::chrono::steady_clock::now() - start >= kAckTimeout) {
            logger_->error("Get ack msg timeout. Id: %lld Message: %s", static_cast<long long>(id),
                           text.c_str());
            pendingAcks_.erase(id);
            return false;
        }
        if ((link_->pendingCount() == 0 && !link_->findSenders()) || !receiveOne()) {
            std::this_thread::sleep_for(kSyncPumpPause);
        }
    }
}

void AsynchronousDataLink::handle(const std::vector<std::uint8_t>& payload,
                                  const std::string& from, bool sync, std::int64_t id,
                                  bool toListener, bool ack) {
    const std::string text(payload.begin(), payload.end());
    protocol::Command command;
    if (!json_deserialize(text, command)) {
        logger_->error("Could not deserialize msg: %s", text.c_str());
        return;
    }
    if (!isKeepAlive(command)) {
        logger_->trace("Received msg from: %s Id: %lld Message: %s Sync: %d Ack: %d", from.c_str(),
                       static_cast<long long>(id), text.c_str(), sync ? 1 : 0, ack ? 1 : 0);
    }
    if (sync && ack) {
        pendingAcks_.erase(id);
        return;
    }
    if (sync) {
        bool taken = false;
        notify(&IAsynchronousDataLinkClient::onDataLinkSyncMessage, from, toListener, command,
               taken);
        // Only a record somebody took is acknowledged: its sender then knows
        // it arrived where it was meant to.
        if (taken) {
            link_->send(from, payload, true, id, false, true, false);
        }
        return;
    }
    notify(&IAsynchronousDataLinkClient::onDataLinkMessage, from, toListener, command);
}

std::string AsynchronousDataLink::name() {
    return link_ ? link_->name() : std::string();
}

bool AsynchronousDataLink::stop() {
    if (isStopped()) {
        return false;
    }
    logger_->trace("Stopping asynchronous datalink, name: %s", name().c_str());
    if (queue_) {
        queue_->finish(
            [this](bool&, unsigned long) {
                if (link_) {
                    link_->stop();
                }
                running_ = false;
            },
            false);
    }
    return markStopped();
}

}  // namespace interprocess
