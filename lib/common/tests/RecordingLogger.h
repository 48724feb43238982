#pragma once

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/logging/ILogger.h"
#include "common/logging/LogTextFormat.h"
#include "common/logging/StructuredRecord.h"

namespace testsupport {

// A logger that keeps every line in memory, for the tests of classes that take
// their logger as an argument.
class RecordingLogger : public common::ILogger {
public:
    struct Line {
        common::LogLevel level;
        std::string text;
    };

    // The lines, shared so that the test still reads them after the logger
    // has been handed over (and destroyed).
    class Lines {
    public:
        void add(common::LogLevel level, const std::string& text) {
            std::lock_guard<std::mutex> lock(_mutex);
            _lines.push_back({level, text});
        }
        std::vector<Line> all() const {
            std::lock_guard<std::mutex> lock(_mutex);
            return _lines;
        }
        // Lines that are exactly `text` at `level`.
        int count(common::LogLevel level, const std::string& text) const {
            std::lock_guard<std::mutex> lock(_mutex);
            return static_cast<int>(std::count_if(_lines.begin(), _lines.end(), [&](const Line& l) {
                return l.level == level && l.text == text;
            }));
        }
        // Lines at `level` that contain `part`.
        int countContaining(common::LogLevel level, const std::string& part) const {
            std::lock_guard<std::mutex> lock(_mutex);
            return static_cast<int>(std::count_if(_lines.begin(), _lines.end(), [&](const Line& l) {
                return l.level == level && l.text.find(part) != std::string::npos;
            }));
        }
        void loggerDestroyed() { _loggerDestroyed = true; }
        bool isLoggerDestroyed() const { return _loggerDestroyed; }

    private:
        mutable std::mutex _mutex;
        std::vector<Line> _lines;
        std::atomic<bool> _loggerDestroyed{false};
    };

    explicit RecordingLogger(std::shared_ptr<Lines> lines) : _lines(std::move(lines)) {}
    ~RecordingLogger() override { _lines->loggerDestroyed(); }

    void log(common::LogLevel level, const std::string& text) override { _lines->add(level, text); }
    void log(common::LogLevel level, const common::StructuredRecord& record) override {
        _lines->add(level, record.tag);
    }
    void logThrottled(const std::chrono::milliseconds&, const common::LogLevel& level,
                      const std::string& text) override {
        _lines->add(level, text);
    }
    common::LogLevel level() const override { return common::loglevel::trace; }
    void setSubName(const std::string&) override {}
    // As the program's channels format, so that a line holds what they would write.
    std::string format(const char* format, va_list args) override {
        std::vector<char> buffer(kFormatBufferSize);
        return std::string(buffer.data(),
                           common::formatLogText(buffer.data(), buffer.size(), format, args));
    }

private:
    std::shared_ptr<Lines> _lines;
};

}  // namespace testsupport
