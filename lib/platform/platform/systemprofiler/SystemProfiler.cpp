#include "platform/systemprofiler/SystemProfiler.h"

#include <sys/utsname.h>

#include <fstream>
#include <sstream>

namespace platform::systemprofiler {

namespace {

// Removes the quotes of a shell-style value and the backslashes before the
// characters that a double-quoted value escapes.
std::string unquote(const std::string& value) {
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
        return value.substr(1, value.size() - 2);
    }
    std::string text = value;
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
    }
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
        }
        result.push_back(text[i]);
    }
    return result;
}

}  // namespace

std::string SystemProfiler::osReleaseValue(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    const std::string prefix = key + "=";
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return unquote(line.substr(prefix.size()));
        }
    }
    return {};
}

std::string SystemProfiler::osVersion(const std::string& osReleasePath) {
    std::ifstream file(osReleasePath);
    if (file) {
        std::ostringstream text;
        text << file.rdbuf();
        const std::string name = osReleaseValue(text.str(), "PRETTY_NAME");
        if (!name.empty()) {
            return name;
        }
    }
    struct utsname system {};
    if (::uname(&system) != 0 || system.sysname[0] == '\0') {
        return {};
    }
    return std::string(system.sysname) + " " + system.release;
}

}  // namespace platform::systemprofiler
