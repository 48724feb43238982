#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include "common/logging/ILogger.h"
#include "interprocess/NameSet.h"

namespace interprocess {

// Removes, a batch at a time, the entries under inbox names that are no
// inbox to read, and tells the log of them without letting a user who makes
// many fill it: one line per owner of such entries per kReportInterval at
// most (the first at once), with the count removed and the last one's name
// and reason.
class InboxRemovals {
public:
    // Entries kept waiting for their removal; past them an entry is not kept.
    static constexpr std::size_t kMaxWaiting = 16384;
    static constexpr std::chrono::seconds kReportInterval{10};

    explicit InboxRemovals(common::ILogger& logger);
    // Tells the log of the removals not told of yet.
    ~InboxRemovals();
    InboxRemovals(const InboxRemovals&) = delete;
    InboxRemovals& operator=(const InboxRemovals&) = delete;

    // Keeps `name`, whose entry `owner` made, for removal: false, and not
    // kept, when kMaxWaiting wait already.
    bool add(const std::string& name, uid_t owner, std::string reason);
    // Whether `name` waits for its removal.
    bool holds(const std::string& name) const { return names_.contains(name); }
    // Removes at most `count` of the entries kept, oldest first, then writes
    // the lines that are due.
    void remove(std::size_t count);
    bool full() const { return waiting_.size() >= kMaxWaiting; }
    // The most names a look-up of one kept walks.
    std::size_t longestWalk() const { return names_.longestWalk(); }

private:
    struct Entry {
        std::string name;
        uid_t owner;
        std::string reason;
    };
    struct Report {
        std::size_t count = 0;
        std::string last;
        std::optional<std::chrono::steady_clock::time_point> told;
    };

    void tell(uid_t owner, Report& report);

    common::ILogger& logger_;
    std::deque<Entry> waiting_;
    NameSet names_;
    std::map<uid_t, Report> reports_;
};

}  // namespace interprocess
