#include "common/logging/ILogger.h"

#include <typeinfo>
#include <vector>

#include <spdlog/spdlog.h>

#include "common/logging/Logger.h"

namespace common {

void ILogger::logFormatted(LogLevel level, const char* format, va_list args) {
    // The channels of createLogger skip records that nothing writes before
    // formatting them, and write the formatted text without copying it.
    if (typeid(*this) == typeid(Logger)) {
        static_cast<Logger*>(this)->writeFormatted(level, format, args);
        return;
    }
    log(level, this->format(format, args));
}

#define COMMON_LOGGER_HELPER(name, level)         \
    void ILogger::name(const char* format, ...) { \
        va_list args;                             \
        va_start(args, format);                   \
        logFormatted(level, format, args);        \
        va_end(args);                             \
    }

COMMON_LOGGER_HELPER(trace, loglevel::trace)
COMMON_LOGGER_HELPER(debug, loglevel::debug)
COMMON_LOGGER_HELPER(info, loglevel::info)
COMMON_LOGGER_HELPER(warn, loglevel::warn)
COMMON_LOGGER_HELPER(error, loglevel::error)
COMMON_LOGGER_HELPER(critical, loglevel::critical)

#undef COMMON_LOGGER_HELPER

void ILogger::dumpBacktrace(bool disable) {
    // Collect first: dumping writes through the sinks, and nothing may run
    // there while the registry's lock is held.
    std::vector<std::shared_ptr<spdlog::logger>> loggers;
    spdlog::apply_all(
        [&loggers](const std::shared_ptr<spdlog::logger>& logger) { loggers.push_back(logger); });
    for (const auto& logger : loggers) {
        logger->dump_backtrace();
        logger->flush();
    }
    if (disable) {
        spdlog::disable_backtrace();
    }
}

}  // namespace common
