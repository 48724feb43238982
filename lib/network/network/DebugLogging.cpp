#include "network/DebugLogging.h"

#include "common/logging/Logger.h"

namespace network {

bool DebugWritten() {
    return common::Logger::writes(common::loglevel::debug);
}

common::ILogger& LoggerOf(std::unique_ptr<common::ILogger>& logger, const char* name) {
    if (!logger) {
        logger = common::createLogger(name);
    }
    return *logger;
}

}  // namespace network
