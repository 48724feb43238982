#pragma once

#include <string>

namespace common {

class ILogger;

// Runs `command` through the shell and returns everything it wrote to its
// standard output; empty when it cannot be started. Its exit status is not
// examined.
std::string runCommand(const std::string& command);

// The operating system's name and version as the system reports it; empty
// when it cannot be determined, which is logged on `logger` when one is
// given.
std::wstring getOSVersion(ILogger* logger = nullptr);

}  // namespace common
