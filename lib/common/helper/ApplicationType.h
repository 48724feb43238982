#pragma once

#include <cstdint>
#include <string>

namespace helper {

// The kinds of process of the product family. The value is what peers and
// log records carry; MAX is an end marker and names no process.
enum class ApplicationType : std::int32_t {
    None = 0,
    Attended = 1,
    AttendedUi = 2,
    ProcessChecker = 3,
    Unattended = 4,
    UnattendedUi = 5,
    CustomerAttendedApp = 6,
    CustomerAttendedAppUi = 7,
    LoggerProcess = 8,
    ComponentTest = 9,
    UnattendedUpdater = 10,
    RemoteExecutionRunner = 11,
    RemoteControl = 12,
    MAX = 13,
};

// The name of a kind, a static text; a null pointer for a value outside the
// enumeration.
const char* toString(const ApplicationType& type);

// The kind whose name equals the text exactly; None for every other text.
// Only the names of real peer processes are recognised.
ApplicationType fromString(const std::string& text);

}  // namespace helper
