#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/Stoppable.h"

namespace interprocess {

// A process's end of the message-queue link: receives from its own queue and
// sends single records into the queues of others. Never blocks.
class IDataLink : public common::Stoppable {
public:
    ~IDataLink() override = default;

    virtual bool init(const std::size_t& maxMsgCount, const std::size_t& maxMsgSize) = 0;
    // Puts one record into the queue of `to`; true when it was queued.
    virtual bool send(const std::string& to, const std::vector<std::uint8_t>& payload, bool sync,
                      std::int64_t id, bool toListener, bool ack, bool quiet) = 0;
    // Takes at most one record off the own queue; true when a record for this
    // process with a payload was taken and written to the outputs. With
    // `discard` the record is only removed.
    virtual bool receive(std::vector<std::uint8_t>& payload, std::string& from, bool& sync,
                         std::int64_t& id, bool& toListener, bool& ack, bool discard) = 0;
    virtual std::string name() const = 0;
    // Records waiting in the own queue (for a root process, also in the
    // other users' inboxes it holds); 0 without a queue.
    virtual std::size_t pendingCount() const = 0;
    // Looks, within a bound, for the senders that began to write to this
    // process since the last call, carrying the rest of the work over to the
    // next (a root process: other users' new inboxes); true when one was
    // found, whose records pendingCount then counts. A poll calls it after
    // taking what waited.
    virtual bool findSenders() = 0;
};

}  // namespace interprocess
