#pragma once

#include <string>

namespace platform::systemprofiler {

// What the system reports about its software.
class SystemProfiler {
public:
    // The operating system's name and version: PRETTY_NAME of the
    // os-release file ("Debian GNU/Linux 12 (bookworm)"), else the kernel's
    // name and release from uname ("Linux 6.1.0-18-amd64"); empty when
    // neither is known.
    static std::string osVersion(const std::string& osReleasePath = "/etc/os-release");

    // The value of `key` in os-release text (shell-style assignments, values
    // optionally quoted); empty when absent.
    static std::string osReleaseValue(const std::string& text, const std::string& key);
};

}  // namespace platform::systemprofiler
