#pragma once

#include <chrono>
#include <cstdarg>
#include <memory>
#include <string>

namespace common {

struct StructuredRecord;

// The logging library's level numbers.
using LogLevel = int;

namespace loglevel {
constexpr LogLevel trace = 0;
constexpr LogLevel debug = 1;
constexpr LogLevel info = 2;
constexpr LogLevel warn = 3;
constexpr LogLevel error = 4;
constexpr LogLevel critical = 5;
constexpr LogLevel off = 6;
}  // namespace loglevel

// A named logging channel. Every channel writes through one process-wide set
// of sinks chosen by Logger::init.
class ILogger {
public:
    // Size of the buffer the printf-style helpers format into; longer output
    // is cut to one character less.
    static constexpr std::size_t kFormatBufferSize = 16384;

    virtual ~ILogger() = default;

    virtual void log(LogLevel level, const std::string& text) = 0;
    virtual void log(LogLevel level, const StructuredRecord& record) = 0;
    // Writes `text` unless the same text was written less than `interval` ago.
    virtual void logThrottled(const std::chrono::milliseconds& interval, const LogLevel& level,
                              const std::string& text) = 0;
    virtual LogLevel level() const = 0;
    virtual void setSubName(const std::string& subName) = 0;
    virtual std::string format(const char* format, va_list args) = 0;

    // printf-style helpers; "%S" takes a wide string. A channel made by
    // createLogger formats only records that a sink will write (or that the
    // early backtrace keeps, before Logger::init); other loggers always
    // format.
    void trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void critical(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Writes the backtrace of every registered logger and flushes it; with
    // `disable` the backtraces are switched off from then on.
    static void dumpBacktrace(bool disable);

private:
    void logFormatted(LogLevel level, const char* format, va_list args);
};

std::unique_ptr<ILogger> createLogger(const std::string& name);

}  // namespace common
