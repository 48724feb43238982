#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "common/logging/ILogCallback.h"
#include "common/logging/PendingLogRecords.h"

namespace common {

// Log sink kind 4: hands each formatted JSON record to a callback, which it
// does not own. While no callback is attached the records are held (the
// newest PendingLogRecords::kCapacity of them) and handed over, in order,
// when one is attached.
template <typename Mutex>
class CustomLogSink : public spdlog::sinks::base_sink<Mutex> {
public:
    // Attaches `callback` (null detaches it) and calls it with the held
    // records. The callback must outlive its attachment.
    void setCallback(ILogCallback* callback) {
        std::lock_guard<Mutex> lock(this->mutex_);
        callback_ = callback;
        if (!callback_) {
            return;
        }
        for (const auto& record : pending_.take()) {
            try {
                (*callback_)(record);
            } catch (const std::exception& e) {
                PendingLogRecords::reportLostRecord(e.what());
            } catch (...) {
                PendingLogRecords::reportLostRecord("unknown failure");
            }
        }
    }

    // The records held while no callback is attached, oldest first.
    std::vector<std::string> pending() {
        std::lock_guard<Mutex> lock(this->mutex_);
        return pending_.copy();
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t formatted;
        this->formatter_->format(msg, formatted);
        if (callback_) {
            (*callback_)(std::string_view(formatted.data(), formatted.size()));
        } else {
            pending_.add(std::string(formatted.data(), formatted.size()));
        }
    }

    void flush_() override {}

private:
    ILogCallback* callback_ = nullptr;
    PendingLogRecords pending_;
};

}  // namespace common
