#include "common/logging/Logger.h"

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <boost/filesystem/path.hpp>

#include "common/logging/CustomLogSink.h"
#include "common/logging/LocalSocketLogSink.h"
#include "common/logging/LogFormatting.h"
#include "common/logging/LogTextFormat.h"
#include "common/logging/StructuredRecord.h"
#include "common/logging/file_msg_formatter.h"
#include "common/logging/json_msg_flag.h"
#include "common/utils/Paths.h"

namespace common {

namespace {

constexpr const char* kTextPattern = "[%Y-%m-%d %H:%M:%S.%e] [%P] [%t] [%l] [%n] %*";
constexpr const char* kCsvPattern = "%Y-%m-%d %H:%M:%S.%e;%l;;%n;;;%*";
constexpr const char* kJsonPattern = "%{";

// Process-wide logging state; lives until the process exits.
struct GlobalState {
    std::mutex mutex;
    std::string globalName = "GlobalLogger";
    std::string basePath;
    std::string logFolder;
    helper::ApplicationType kind = helper::ApplicationType::None;
    std::size_t mainThreadId = 0;
    std::string sessionId;
    std::map<LogSinkType, std::shared_ptr<spdlog::sinks::sink>> sinks;
    std::atomic<bool> initialised{false};
    // The lowest level that any sink writes; before `init`, the lowest level
    // that the early logger's backtrace keeps (trace unless set).
    std::atomic<int> writeThreshold{spdlog::level::trace};
    std::size_t maxFileSize = Logger::kMaxFileSize;
    std::size_t maxFiles = Logger::kMaxFiles;
};

GlobalState& state() {
    static auto* instance = new GlobalState;
    return *instance;
}

std::string globalName() {
    std::lock_guard lock(state().mutex);
    return state().globalName;
}

void registerSwallowingFailure(const std::shared_ptr<spdlog::logger>& logger) {
    try {
        spdlog::register_logger(logger);
    } catch (const spdlog::spdlog_ex&) {
        // A logger of that name exists; the caller keeps its own.
    }
}

spdlog::level::level_enum toSpdlogLevel(LogLevel level) {
    if (level < loglevel::trace) {
        return spdlog::level::trace;
    }
    if (level > loglevel::off) {
        return spdlog::level::critical;
    }
    return static_cast<spdlog::level::level_enum>(level);
}

// The lowest level of the sinks; off with none.
int lowestSinkLevel(const std::vector<spdlog::sink_ptr>& sinks) {
    int lowest = spdlog::level::off;
    for (const auto& sink : sinks) {
        lowest = std::min<int>(lowest, sink->level());
    }
    return lowest;
}

long long nowMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void Logger::configureSink(spdlog::sinks::sink& sink, LogLevel level, const std::string& pattern,
                           char flag,
                           std::unique_ptr<spdlog::custom_flag_formatter> flagFormatter) {
    spdlog::pattern_formatter::custom_flags flags;
    flags[flag] = std::move(flagFormatter);
    sink.set_formatter(std::make_unique<spdlog::pattern_formatter>(
        pattern, spdlog::pattern_time_type::local, "\n", std::move(flags)));
    sink.set_level(toSpdlogLevel(level));
}

std::unique_ptr<ILogger> createLogger(const std::string& name) {
    return std::make_unique<Logger>(name);
}

Logger::Logger(const std::string& name) : name_(name) {
    setSubName("");
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.initialised) {
        logger_ = spdlog::get(name_);
        if (!logger_) {
            if (auto global = spdlog::get(s.globalName)) {
                logger_ = global->clone(name_);
            } else {
                logger_ = std::make_shared<spdlog::logger>(name_);
            }
            registerSwallowingFailure(logger_);
        }
        needsClone_.store(false, std::memory_order_release);
        return;
    }
    logger_ = spdlog::get(s.globalName);
    if (!logger_) {
        logger_ = std::make_shared<spdlog::logger>(s.globalName);
        logger_->enable_backtrace(kBacktraceSize);
        logger_->set_level(spdlog::level::off);
        registerSwallowingFailure(logger_);
    }
}

Logger::~Logger() {
    if (name_ != globalName()) {
        spdlog::drop(name_);
    }
}

std::shared_ptr<spdlog::logger> Logger::attachedLogger() const {
    std::lock_guard lock(attachMutex_);
    if (needsClone_.load(std::memory_order_relaxed) && state().initialised) {
        std::lock_guard global(state().mutex);
        if (auto current = spdlog::get(state().globalName)) {
            logger_ = current->clone(name_);
            registerSwallowingFailure(logger_);
        }
        needsClone_.store(false, std::memory_order_release);
    }
    return logger_;
}

bool Logger::writes(LogLevel level) {
    return toSpdlogLevel(level) >= state().writeThreshold.load(std::memory_order_relaxed);
}

void Logger::write(LogLevel level, std::string_view text) {
    if (!writes(level)) {
        return;
    }
    const spdlog::string_view_t payload(text.data(), text.size());
    if (!needsClone_.load(std::memory_order_acquire)) {
        logger_->log(spdlog::source_loc{}, toSpdlogLevel(level), payload);
    } else {
        attachedLogger()->log(spdlog::source_loc{}, toSpdlogLevel(level), payload);
    }
    flushDeferredLogReports();
}

void Logger::writeFormatted(LogLevel level, const char* format, va_list args) {
    if (!writes(level)) {
        return;
    }
    if (format == nullptr) {
        write(level, {});
        return;
    }
    char buffer[kFormatBufferSize];
    write(level, std::string_view(buffer, formatLogText(buffer, sizeof buffer, format, args)));
}

void Logger::log(LogLevel level, const std::string& text) {
    write(level, text);
}

void Logger::log(LogLevel level, const StructuredRecord& record) {
    if (!writes(level)) {
        return;
    }
    std::string json;
    toJsonString(record, json);
    write(level, json);
}

void Logger::logThrottled(const std::chrono::milliseconds& interval, const LogLevel& level,
                          const std::string& text) {
    std::lock_guard lock(throttleMutex_);
    const long long now = nowMicroseconds();
    const long long next = now + static_cast<long long>(interval.count()) * 1000;
    auto it = throttle_.find(text);
    if (it == throttle_.end()) {
        pruneThrottleTable(now);
        throttle_.emplace(text, next);
        write(level, text);
    } else if (it->second < now) {
        it->second = next;
        write(level, text);
    }
}

void Logger::pruneThrottleTable(long long now) {
    if (throttle_.size() < throttlePruneAt_) {
        return;
    }
    std::erase_if(throttle_, [now](const auto& entry) { return entry.second < now; });
    throttlePruneAt_ = std::max<std::size_t>(kThrottlePruneMinimum, throttle_.size() * 2);
}

std::size_t Logger::throttleTableSize() {
    std::lock_guard lock(throttleMutex_);
    return throttle_.size();
}

LogLevel Logger::level() const {
    return static_cast<LogLevel>(attachedLogger()->level());
}

void Logger::setSubName(const std::string& subName) {
    subName_ = name_ + ":" + subName;
}

std::string Logger::format(const char* format, va_list args) {
    if (format == nullptr) {
        return {};
    }
    char buffer[kFormatBufferSize];
    return std::string(buffer, formatLogText(buffer, sizeof buffer, format, args));
}

void Logger::setLogFolder(const std::string& folder) {
    std::lock_guard lock(state().mutex);
    state().logFolder = folder;
}

void Logger::setEarlyLevel(LogLevel level) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.initialised) {
        s.writeThreshold.store(toSpdlogLevel(level), std::memory_order_relaxed);
    }
}

std::string Logger::logFilePath(const std::string& programPath, const std::string& extension) {
    std::string folder;
    {
        std::lock_guard lock(state().mutex);
        folder = state().logFolder;
    }
    if (folder.empty()) {
        folder = getAppDataFolder();
    }
    const std::string file = boost::filesystem::path(programPath).stem().string() + extension;
    if (folder.empty()) {
        return file;
    }
    return (boost::filesystem::path(folder) / file).string();
}

namespace {

std::shared_ptr<spdlog::sinks::sink> makeFileSink(const std::string& path, LogLevel level,
                                                  const char* pattern) {
    std::size_t maxSize = 0;
    std::size_t maxFiles = 0;
    {
        std::lock_guard lock(state().mutex);
        maxSize = state().maxFileSize;
        maxFiles = state().maxFiles;
    }
    auto sink =
        std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, maxSize, maxFiles, false);
    Logger::configureSink(*sink, level, pattern, '*', std::make_unique<file_msg_formatter>());
    return sink;
}

template <typename Sink>
std::shared_ptr<spdlog::sinks::sink> makeJsonSink() {
    auto sink = std::make_shared<Sink>();
    Logger::configureSink(*sink, loglevel::debug, kJsonPattern, '{',
                          std::make_unique<json_msg_flag>());
    return sink;
}

}  // namespace

void Logger::init(const std::string& name, const std::string& programPath,
                  helper::ApplicationType kind, const std::vector<LogSinkType>& sinkKinds) {
    auto& s = state();
    {
        std::lock_guard lock(s.mutex);
        s.basePath = programPath;
    }
    if (s.initialised) {
        if (auto global = spdlog::get(globalName())) {
            global->log(spdlog::level::warn, "Logger has already initialized");
        }
        return;
    }
    {
        std::lock_guard lock(s.mutex);
        s.kind = kind;
        s.mainThreadId = spdlog::details::os::thread_id();
    }

    std::string report;
    std::vector<spdlog::sink_ptr> sinks;
    for (const LogSinkType sinkKind : sinkKinds) {
        spdlog::sink_ptr sink;
        switch (sinkKind) {
            case logsink::rotatingFile:
                try {
                    sink = makeFileSink(logFilePath(programPath, ".log"), loglevel::info,
                                        kTextPattern);
                } catch (const spdlog::spdlog_ex& e) {
                    report += std::string("File logger init failed: ") + e.what() + "\n";
                }
                break;
            case logsink::localSocket:
                sink = makeJsonSink<LocalSocketLogSink<std::mutex>>();
                break;
            case logsink::rotatingCsv:
                try {
                    sink = makeFileSink(logFilePath(programPath, ".csv"), loglevel::trace,
                                        kCsvPattern);
                } catch (const spdlog::spdlog_ex& e) {
                    report += std::string("CSV logger init failed: ") + e.what() + "\n";
                }
                break;
            case logsink::standardOutput:
                sink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
                sink->set_level(spdlog::level::trace);
                break;
            case logsink::callback:
                sink = makeJsonSink<CustomLogSink<std::mutex>>();
                break;
            default:
                break;
        }
        if (!sink) {
            continue;
        }
        sinks.push_back(sink);
        std::lock_guard lock(s.mutex);
        s.sinks[sinkKind] = sink;
    }

    const std::string previousName = globalName();
    if (auto early = spdlog::get(previousName)) {
        auto& earlySinks = early->sinks();
        earlySinks.insert(earlySinks.end(), sinks.begin(), sinks.end());
        dumpBacktrace(true);
        spdlog::drop(previousName);
    }
    std::string currentName;
    {
        std::lock_guard lock(s.mutex);
        if (!name.empty()) {
            s.globalName = name;
        }
        currentName = s.globalName;
    }
    auto global = std::make_shared<spdlog::logger>(currentName, sinks.begin(), sinks.end());
    global->set_level(spdlog::level::trace);
    spdlog::drop(currentName);
    registerSwallowingFailure(global);
    spdlog::flush_every(std::chrono::seconds(0));
    spdlog::flush_on(spdlog::level::trace);
    {
        std::lock_guard lock(s.mutex);
        s.writeThreshold.store(lowestSinkLevel(sinks), std::memory_order_relaxed);
        s.initialised = true;
    }
    global->log(spdlog::level::info,
                report + "Add " + std::to_string(sinks.size()) + " sinks to logger.");
    flushDeferredLogReports();
}

void Logger::setFileRotation(std::size_t maxSize, std::size_t maxFiles) {
    std::lock_guard lock(state().mutex);
    state().maxFileSize = maxSize;
    state().maxFiles = maxFiles;
}

std::shared_ptr<spdlog::sinks::sink> Logger::sinkOfKind(LogSinkType kind) {
    std::lock_guard lock(state().mutex);
    auto it = state().sinks.find(kind);
    return it == state().sinks.end() ? nullptr : it->second;
}

bool Logger::attachLogSender(std::shared_ptr<ILogSender> sender) {
    auto sink =
        std::dynamic_pointer_cast<LocalSocketLogSink<std::mutex>>(sinkOfKind(logsink::localSocket));
    if (!sink) {
        return false;
    }
    sink->setSender(std::move(sender));
    return true;
}

bool Logger::attachLogCallback(ILogCallback* callback) {
    auto sink = std::dynamic_pointer_cast<CustomLogSink<std::mutex>>(sinkOfKind(logsink::callback));
    if (!sink) {
        return false;
    }
    sink->setCallback(callback);
    return true;
}

helper::ApplicationType Logger::processKind() {
    std::lock_guard lock(state().mutex);
    return state().kind;
}

std::size_t Logger::mainThreadId() {
    std::lock_guard lock(state().mutex);
    return state().mainThreadId;
}

std::string Logger::sessionId() {
    std::lock_guard lock(state().mutex);
    return state().sessionId;
}

}  // namespace common
