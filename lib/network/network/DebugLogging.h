#pragma once

#include <memory>

#include "common/logging/ILogger.h"

namespace network {

// Whether a debug record would be written: work done only for debug lines
// is skipped otherwise.
bool DebugWritten();

// `logger`, made under `name` when it is still missing.
common::ILogger& LoggerOf(std::unique_ptr<common::ILogger>& logger, const char* name);

}  // namespace network
