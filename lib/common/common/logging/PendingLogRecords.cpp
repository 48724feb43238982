#include "common/logging/PendingLogRecords.h"

#include <cstdio>

namespace common {

void PendingLogRecords::add(std::string record) {
    if (records_.size() >= kCapacity) {
        records_.pop_front();
    }
    records_.push_back(std::move(record));
}

std::deque<std::string> PendingLogRecords::take() {
    std::deque<std::string> taken;
    taken.swap(records_);
    return taken;
}

std::vector<std::string> PendingLogRecords::copy() const {
    return {records_.begin(), records_.end()};
}

void PendingLogRecords::reportLostRecord(const char* what) {
    std::fprintf(stderr, "[*** LOG ERROR ***] a held record was lost: %s\n", what);
}

}  // namespace common
