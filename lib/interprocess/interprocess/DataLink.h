#pragma once

#include <map>
#include <memory>
#include <string>

#include "common/logging/ILogger.h"
#include "interprocess/IDataLink.h"
#include "interprocess/SharedRecordQueue.h"
#include "interprocess/UserInboxes.h"

namespace interprocess {

// The data link over shared record queues, one queue per process named by
// the installation id, "_" and the process's name, which carries the user for
// a kind that users run (KindUsers::ownName, peerName). A process's queue is
// written by its own user and root only; another user's process puts its
// records for a root process into an inbox of its own beside the queue
// (UserInboxes), which the root process reads after its own queue, keeping a
// record from there only when it names a kind that user may be
// (KindUsers::mayGreet); new inboxes are looked for apart (findSenders). Nothing read from a queue is trusted, and no wait on
// one is longer than SharedRecordQueue::kLockWait; on an inbox, root does not
// wait at all. Records go only into a queue whose owner may be the addressee
// (KindUsers::mayOwnQueue).
class DataLink : public IDataLink {
public:
    // Names and installation ids hold only these characters, at most this
    // many: they become part of a shared object's name.
    static constexpr std::size_t kMaxNameSize = 64;
    static bool isValidName(const std::string& name);

    // `logger` defaults to the channel "DataLink".
    static std::unique_ptr<IDataLink> create(const std::string& prefix, const std::string& name,
                                             std::unique_ptr<common::ILogger> logger = nullptr);
    // The name of the queue of process `name` (as KindUsers names it).
    static std::string queueName(const std::string& prefix, const std::string& name);

    DataLink(const std::string& prefix, const std::string& name,
             std::unique_ptr<common::ILogger> logger);
    ~DataLink() override;

    bool stop() override;
    // Replaces the own queue by a new, empty one of these dimensions; what an
    // earlier run left in it is counted and dropped.
    bool init(const std::size_t& maxMsgCount, const std::size_t& maxMsgSize) override;
    bool send(const std::string& to, const std::vector<std::uint8_t>& payload, bool sync,
              std::int64_t id, bool toListener, bool ack, bool quiet) override;
    bool receive(std::vector<std::uint8_t>& payload, std::string& from, bool& sync,
                 std::int64_t& id, bool& toListener, bool& ack, bool discard) override;
    std::string name() const override;
    std::size_t pendingCount() const override;
    bool findSenders() override;
    // A root process's inboxes, for what they cost; null for another user's
    // process, or before init.
    const UserInboxes* inboxes() const { return inboxes_.get(); }

private:
    // The inbox this process puts its records for a root process's queue
    // into.
    struct OwnInbox {
        std::string name;
        std::unique_ptr<SharedRecordQueue> queue;
    };

    // The own inbox for `target`, made anew when there is none or it was
    // removed; null and `error` set when none can be made.
    SharedRecordQueue* ownInbox(const std::string& target, std::string& error);
    // Removes the own inboxes that hold nothing, and lets go of them all.
    void leaveInboxes();

    std::string prefix_;
    std::string name_;
    std::unique_ptr<common::ILogger> logger_;
    std::unique_ptr<SharedRecordQueue> queue_;
    // A root process's only.
    std::unique_ptr<UserInboxes> inboxes_;
    std::map<std::string, OwnInbox> ownInboxes_;
    std::size_t maxMsgCount_ = 0;
    std::size_t maxMsgSize_ = 0;
};

}  // namespace interprocess
