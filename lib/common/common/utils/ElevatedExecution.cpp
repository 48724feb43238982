#include "common/utils/ElevatedExecution.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/logging/ILogger.h"
#include "platform/security/Authorization.h"

namespace common {

namespace sec = platform::security;

namespace {

constexpr char kOpening[] = "<exitcode>";
constexpr char kClosing[] = "</exitcode>";

// The number of a line of the form "<exitcode>%d</exitcode>", as sscanf
// would read it, without its undefined result for numbers past the range
// of int.
bool parseExitCode(const char* line, int& code) {
    const std::size_t openingLength = sizeof(kOpening) - 1;
    if (std::strncmp(line, kOpening, openingLength) != 0) {
        return false;
    }
    const char* digits = line + openingLength;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(digits, &end, 10);
    if (end == digits || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        return false;
    }
    code = static_cast<int>(value);
    return true;
}

// Logs why `tool` could not be run with administrator rights, in words and
// with the status.
std::int32_t logFailure(const char* tool, std::int32_t status, const std::string& reason) {
    createLogger("ElevatedExecution")
        ->error("cannot run '%s' with administrator rights: %s (status %d)",
                tool != nullptr ? tool : "",
                reason.empty() ? "authorization failed" : reason.c_str(), static_cast<int>(status));
    return status;
}

}  // namespace

std::int32_t executeWithPrivileges(const char* user, const char* password, const char* tool,
                                   char* const* arguments, FILE** pipe) {
    if (tool == nullptr) {
        return logFailure(tool, sec::errAuthorizationInvalidPointer, "no tool given");
    }
    const sec::AuthorizationItemSet rights = {{sec::kAuthorizationRightExecute, tool, 0}};
    sec::AuthorizationItemSet environment;
    if (user != nullptr) {
        environment.push_back({sec::kAuthorizationEnvironmentUsername, user, 0});
        if (password != nullptr) {
            environment.push_back({sec::kAuthorizationEnvironmentPassword, password, 0});
        }
    }
    std::unique_ptr<sec::Authorization> authorization;
    sec::OSStatus status =
        sec::Authorization::create({}, environment, sec::kAuthorizationFlagDefaults, authorization);
    if (status != sec::errAuthorizationSuccess) {
        return logFailure(tool, status, {});
    }
    const sec::AuthorizationFlags flags =
        user != nullptr
            ? sec::kAuthorizationFlagExtendRights
            : sec::kAuthorizationFlagInteractionAllowed | sec::kAuthorizationFlagExtendRights;
    status = authorization->copyRights(rights, environment, flags);
    if (status == sec::errAuthorizationSuccess) {
        status = authorization->executeWithPrivileges(tool, sec::kAuthorizationFlagDefaults,
                                                      arguments, pipe);
    }
    if (status != sec::errAuthorizationSuccess) {
        logFailure(tool, status, authorization->failureReason());
    }
    return status;
}

int runElevated(const char* tool, char* const* arguments) {
    FILE* pipe = nullptr;
    const std::int32_t status = executeWithPrivileges(nullptr, nullptr, tool, arguments, &pipe);
    if (status != 0) {
        return status;
    }
    int result = kNoExitCode;
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::size_t length = std::strlen(line);
        while (length > 0 && std::isspace(static_cast<unsigned char>(line[length - 1]))) {
            line[--length] = '\0';
        }
        if (std::strstr(line, kOpening) != nullptr && std::strstr(line, kClosing) != nullptr) {
            parseExitCode(line, result);
            break;
        }
    }
    std::fclose(pipe);
    if (result == kNoExitCode) {
        createLogger("ElevatedExecution")
            ->error(
                "'%s' ended without printing its exit code as \"<exitcode>N</exitcode>\" "
                "(status %d)",
                tool, kNoExitCode);
    }
    return result;
}

}  // namespace common
