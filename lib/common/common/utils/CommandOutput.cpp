#include "common/utils/CommandOutput.h"

#include <cstdio>
#include <memory>

#include "common/logging/ILogger.h"
#include "common/utils/StringConversions.h"
#include "platform/systemprofiler/SystemProfiler.h"

namespace common {

std::string runCommand(const std::string& command) {
    const std::shared_ptr<FILE> stream(::popen(command.c_str(), "re"), [](FILE* file) {
        if (file != nullptr) {
            ::pclose(file);
        }
    });
    if (!stream) {
        return {};
    }
    // Read by byte count, so that output holding NUL bytes comes back whole.
    std::string output;
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, stream.get())) > 0) {
        output.append(buffer, count);
    }
    return output;
}

std::wstring getOSVersion(ILogger* logger) {
    const std::string version = platform::systemprofiler::SystemProfiler::osVersion();
    if (version.empty() && logger != nullptr) {
        logger->warn("unable to determine the operating system version");
    }
    return utf8ToWString(version);
}

}  // namespace common
