#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "common/logging/ILogSender.h"
#include "common/logging/PendingLogRecords.h"

namespace common {

// Log sink kind 1: hands each formatted JSON record to a sender. While no
// sender is attached the records are held (the newest PendingLogRecords::
// kCapacity of them) and handed over, in order, when one is attached.
template <typename Mutex>
class LocalSocketLogSink : public spdlog::sinks::base_sink<Mutex> {
public:
    // Attaches `sender` (null detaches it) and sends it the held records.
    void setSender(std::shared_ptr<ILogSender> sender) {
        std::lock_guard<Mutex> lock(this->mutex_);
        sender_ = std::move(sender);
        if (!sender_) {
            return;
        }
        for (const auto& record : pending_.take()) {
            try {
                sender_->send(record);
            } catch (const std::exception& e) {
                // The record is lost, as when sending a live record fails.
                PendingLogRecords::reportLostRecord(e.what());
            } catch (...) {
                PendingLogRecords::reportLostRecord("unknown failure");
            }
        }
        sender_->flush();
    }

    // The records held while no sender is attached, oldest first.
    std::vector<std::string> pending() {
        std::lock_guard<Mutex> lock(this->mutex_);
        return pending_.copy();
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t formatted;
        this->formatter_->format(msg, formatted);
        std::string record(formatted.data(), formatted.size());
        if (sender_) {
            sender_->send(record);
        } else {
            pending_.add(std::move(record));
        }
    }

    void flush_() override {
        if (sender_) {
            sender_->flush();
        }
    }

private:
    std::shared_ptr<ILogSender> sender_;
    PendingLogRecords pending_;
};

}  // namespace common
