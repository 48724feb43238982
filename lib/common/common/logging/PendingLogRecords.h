#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace common {

// The records a JSON log sink holds while nothing consumes them, oldest
// first. At most kCapacity are kept: a new record beyond that drops the
// oldest, so that a process that never attaches a consumer does not grow
// without bound.
class PendingLogRecords {
public:
    static constexpr std::size_t kCapacity = 10000;

    void add(std::string record);

    // Hands out and forgets every record, oldest first.
    std::deque<std::string> take();

    std::vector<std::string> copy() const;
    std::size_t size() const { return records_.size(); }

    // Says on standard error that a held record was lost because its
    // consumer failed (the logging library reports failures of live records
    // the same way).
    static void reportLostRecord(const char* what);

private:
    std::deque<std::string> records_;
};

}  // namespace common
