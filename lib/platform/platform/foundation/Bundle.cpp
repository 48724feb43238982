#include "platform/foundation/Bundle.h"

#include <limits.h>
#include <unistd.h>
#include <mutex>

namespace platform::foundation {

namespace {

std::mutex g_mutex;
std::optional<Bundle::Paths> g_override;

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string lastElementOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string runningExecutable() {
    char buffer[PATH_MAX + 1] = {};
    const ssize_t length = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    if (length <= 0) {
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace

Bundle::Paths Bundle::forExecutable(const std::string& executablePath) {
    Paths paths;
    paths.executablePath = executablePath;
    const std::string folder = parentOf(executablePath);
    const std::string contents = parentOf(folder);
    const std::string bundle = parentOf(contents);
    if (lastElementOf(folder) == "MacOS" && lastElementOf(contents) == "Contents" &&
        endsWith(lastElementOf(bundle), ".app") && lastElementOf(bundle) != ".app") {
        paths.bundlePath = bundle;
        paths.resourcePath = contents + "/Resources";
    } else {
        paths.bundlePath = folder;
        paths.resourcePath = folder;
    }
    return paths;
}

Bundle::Paths Bundle::main() {
    {
        std::lock_guard lock(g_mutex);
        if (g_override) {
            return *g_override;
        }
    }
    return forExecutable(runningExecutable());
}

void Bundle::overrideMain(const Paths& paths) {
    std::lock_guard lock(g_mutex);
    g_override = paths;
}

void Bundle::resetMain() {
    std::lock_guard lock(g_mutex);
    g_override.reset();
}

}  // namespace platform::foundation
