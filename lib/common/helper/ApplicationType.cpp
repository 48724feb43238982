#include "helper/ApplicationType.h"

#include <array>
#include <string_view>

namespace helper {

namespace {

constexpr std::array<const char*, 14> kNames = {
    "None",          "Attended",      "AttendedUi",          "ProcessChecker",
    "Unattended",    "UnattendedUi",  "CustomerAttendedApp", "CustomerAttendedAppUi",
    "LoggerProcess", "ComponentTest", "UnattendedUpdater",   "RemoteExecutionRunner",
    "RemoteControl", "MAX",
};

constexpr std::array<ApplicationType, 11> kRecognised = {
    ApplicationType::Attended,
    ApplicationType::AttendedUi,
    ApplicationType::Unattended,
    ApplicationType::UnattendedUi,
    ApplicationType::ProcessChecker,
    ApplicationType::CustomerAttendedApp,
    ApplicationType::CustomerAttendedAppUi,
    ApplicationType::LoggerProcess,
    ApplicationType::ComponentTest,
    ApplicationType::RemoteExecutionRunner,
    ApplicationType::RemoteControl,
};

}  // namespace

const char* toString(const ApplicationType& type) {
    const auto value = static_cast<std::int32_t>(type);
    if (value < 0 || value >= static_cast<std::int32_t>(kNames.size())) {
        return nullptr;
    }
    return kNames[static_cast<std::size_t>(value)];
}

ApplicationType fromString(const std::string& text) {
    for (const auto candidate : kRecognised) {
        const std::string_view name = kNames[static_cast<std::size_t>(candidate)];
        if (name.size() == text.size() && name == text) {
            return candidate;
        }
    }
    return ApplicationType::None;
}

}  // namespace helper
