#include "interprocess/InboxRemovals.h"

#include "interprocess/SharedRecordQueue.h"

namespace interprocess {

InboxRemovals::InboxRemovals(common::ILogger& logger) : logger_(logger) {}

InboxRemovals::~InboxRemovals() {
    for (auto& [owner, report] : reports_) {
        if (report.count > 0) {
            tell(owner, report);
        }
    }
}

bool InboxRemovals::add(const std::string& name, uid_t owner, std::string reason) {
    if (holds(name)) {
        return true;
    }
    if (waiting_.size() >= kMaxWaiting) {
        return false;
    }
    waiting_.push_back(Entry{name, owner, std::move(reason)});
    names_.insert(name);
    return true;
}

void InboxRemovals::remove(std::size_t count) {
    for (; count > 0 && !waiting_.empty(); --count) {
        const Entry entry = std::move(waiting_.front());
        waiting_.pop_front();
        names_.erase(entry.name);
        if (SharedRecordQueue::clear(entry.name)) {
            auto& report = reports_[entry.owner];
            ++report.count;
            report.last = entry.name + ": '" + entry.reason + "'";
        }
    }
    const auto now = std::chrono::steady_clock::now();
    for (auto report = reports_.begin(); report != reports_.end();) {
        const bool due = !report->second.told || now - *report->second.told >= kReportInterval;
        if (due && report->second.count == 0) {
            report = reports_.erase(report);
            continue;
        }
        if (due) {
            report->second.told = now;
            tell(report->first, report->second);
        }
        ++report;
    }
}

void InboxRemovals::tell(uid_t owner, Report& report) {
    logger_.error("removed %zu entries of user %u under inbox names, not read as inboxes; "
                  "the last, %s",
                  report.count, static_cast<unsigned>(owner), report.last.c_str());
    report.count = 0;
}

}  // namespace interprocess
