#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/logging/ILogger.h"
#include "helper/ApplicationType.h"

namespace spdlog {
class logger;
class custom_flag_formatter;
namespace sinks {
class sink;
}
}  // namespace spdlog

namespace common {

class ILogSender;
class ILogCallback;

// The kinds of sink that Logger::init can set up.
using LogSinkType = int;

namespace logsink {
constexpr LogSinkType rotatingFile = 0;
constexpr LogSinkType localSocket = 1;
constexpr LogSinkType rotatingCsv = 2;
constexpr LogSinkType standardOutput = 3;
constexpr LogSinkType callback = 4;
}  // namespace logsink

// One named channel. Every channel is a clone of the global logger under its
// own name and shares its sinks. Channels made before `init` share one
// logger that writes nothing but keeps the last 1000 records (of the early
// level and up, see setEarlyLevel), which `init` writes out.
class Logger : public ILogger {
public:
    static constexpr std::size_t kMaxFileSize = 10485760;
    static constexpr std::size_t kMaxFiles = 10;
    static constexpr std::size_t kBacktraceSize = 1000;

    explicit Logger(const std::string& name);
    ~Logger() override;

    void log(LogLevel level, const std::string& text) override;
    void log(LogLevel level, const StructuredRecord& record) override;
    void logThrottled(const std::chrono::milliseconds& interval, const LogLevel& level,
                      const std::string& text) override;
    LogLevel level() const override;
    void setSubName(const std::string& subName) override;
    std::string format(const char* format, va_list args) override;

    // What the printf-style helpers do for this channel: a record that no
    // sink writes (and that no early backtrace keeps) is dropped before it is
    // formatted; any other is formatted on the stack, as `format` does, and
    // written without a copy.
    void writeFormatted(LogLevel level, const char* format, va_list args);

    // Whether a record at `level` reaches a sink, or the early backtrace
    // before `init`: one relaxed load and a compare.
    static bool writes(LogLevel level);

    // The folder for the log files; set before `init`.
    static void setLogFolder(const std::string& folder);

    // The lowest level of the records kept before `init` for the backtrace
    // that `init` writes out: the lowest level of the sinks that the
    // program's `init` will make, or off for a program that never calls
    // `init`. A record below it is dropped by one check, unformatted. Trace
    // (every record kept) until set; no effect once `init` has run.
    static void setEarlyLevel(LogLevel level);

    // One-time set-up of the process's sinks. A second call only warns.
    static void init(const std::string& name, const std::string& programPath,
                     helper::ApplicationType kind, const std::vector<LogSinkType>& sinks);

    // Attaches the consumer of the local-socket sink (kind 1) or of the
    // callback sink (kind 4); null detaches it. The records that the sink
    // held until then are handed over first, oldest first. False when `init`
    // made no sink of that kind. The callback is not owned and must stay
    // valid while attached.
    static bool attachLogSender(std::shared_ptr<ILogSender> sender);
    static bool attachLogCallback(ILogCallback* callback);

    // The sink that `init` made for a kind, if any.
    static std::shared_ptr<spdlog::sinks::sink> sinkOfKind(LogSinkType kind);

    // What the JSON records name: the process kind, the thread that ran
    // `init`, the session id.
    static helper::ApplicationType processKind();
    static std::size_t mainThreadId();
    static std::string sessionId();

    // The path of a log file for the program path and extension (".log",
    // ".csv"): in the log folder, else in the application data folder.
    static std::string logFilePath(const std::string& programPath, const std::string& extension);

    // Gives a sink its own pattern formatter (local time, "\n" line end) with
    // one custom flag, and its level.
    static void configureSink(spdlog::sinks::sink& sink, LogLevel level, const std::string& pattern,
                              char flag,
                              std::unique_ptr<spdlog::custom_flag_formatter> flagFormatter);

    // Test hook: the size limit and count of rotated files for sinks that
    // `init` makes from now on (10485760 bytes and 10 files otherwise).
    static void setFileRotation(std::size_t maxSize, std::size_t maxFiles);

    // Number of texts the throttle currently remembers.
    std::size_t throttleTableSize();

private:
    static constexpr std::size_t kThrottlePruneMinimum = 64;

    std::shared_ptr<spdlog::logger> attachedLogger() const;
    void write(LogLevel level, std::string_view text);
    void pruneThrottleTable(long long now);

    const std::string name_;
    std::string subName_;
    mutable std::mutex attachMutex_;
    mutable std::shared_ptr<spdlog::logger> logger_;
    // Cleared (release) once logger_ holds the clone of the initialised
    // global logger; logger_ never changes after that.
    mutable std::atomic<bool> needsClone_{true};
    std::recursive_mutex throttleMutex_;
    std::map<std::string, long long> throttle_;
    std::size_t throttlePruneAt_ = kThrottlePruneMinimum;
};

}  // namespace common
