#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>

#include "common/logging/ILogger.h"
#include "common/taskscheduler/ITaskQueue.h"
#include "interprocess/IAsynchronousDataLink.h"
#include "interprocess/IDataLink.h"

namespace interprocess {

// Drives a data link from a task queue: polls the own queue every 100 ms,
// taking what waits there in order and only then looking for new senders,
// decodes each payload into a link message for the observers, sends from
// the queue, and sends synchronously with an acknowledgement from the peer.
class AsynchronousDataLink : public IAsynchronousDataLink {
public:
    static constexpr std::size_t kMaxMsgCount = 100;
    static constexpr std::size_t kMaxMsgSize = 16384;
    static constexpr std::chrono::milliseconds kPollInterval{100};
    static constexpr std::int32_t kPriority = 2;
    // Most records handled by one poll.
    static constexpr std::size_t kMaxRecordsPerPoll = kMaxMsgCount;
    // Longest a poll goes on taking records.
    static constexpr std::chrono::milliseconds kPollBudget{20};
    static constexpr std::chrono::seconds kAckTimeout{6};

    // `logger` defaults to the channel "IpcNetwork".
    static std::shared_ptr<AsynchronousDataLink> create(
        std::unique_ptr<IDataLink> link, std::unique_ptr<common::ITaskQueue> queue,
        std::unique_ptr<common::ILogger> logger = nullptr);

    AsynchronousDataLink(std::unique_ptr<IDataLink> link, std::unique_ptr<common::ITaskQueue> queue,
                         std::unique_ptr<common::ILogger> logger);
    ~AsynchronousDataLink() override;

    bool init() override;
    void send(const std::string& to, const std::string& text, std::function<void(bool)> callback,
              bool toListener, bool quiet) override;
    bool sendSync(const std::string to, const std::string text) override;
    std::string name() override;
    bool stop() override;

private:
    void poll(bool& reschedule);
    // Takes at most `limit` of the records waiting now, in order, until
    // `deadline` (set to kPollBudget after the count when it is not):
    // how many were taken.
    std::size_t takeWaiting(std::size_t limit, std::chrono::steady_clock::time_point& deadline);
    // Takes one record off the own queue and handles it; false when none
    // was taken.
    bool receiveOne();
    void handle(const std::vector<std::uint8_t>& payload, const std::string& from, bool sync,
                std::int64_t id, bool toListener, bool ack);

    std::unique_ptr<IDataLink> link_;
    std::unique_ptr<common::ITaskQueue> queue_;
    std::unique_ptr<common::ILogger> logger_;
    std::set<std::int64_t> pendingAcks_;
    std::int64_t lastId_ = 1;
    bool running_ = false;
};

}  // namespace interprocess
