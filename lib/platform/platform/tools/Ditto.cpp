#include "platform/tools/Ditto.h"

#include <mutex>

#include "platform/posix/Spawn.h"

namespace platform::tools {

namespace {

std::mutex g_mutex;
std::string g_unzip = "/usr/bin/unzip";

std::string unzipProgram() {
    std::lock_guard lock(g_mutex);
    return g_unzip;
}

}  // namespace

void setUnzipProgram(const std::string& path) {
    std::lock_guard lock(g_mutex);
    g_unzip = path;
}

int dittoExtractZip(const std::string& archive, const std::string& destination) {
    if (archive.empty() || destination.empty()) {
        return 1;
    }
    // -o: overwrite without asking; -q: quiet; "--" is not understood by
    // unzip, so the paths are made unambiguous by the option letters before
    // them (-d takes the next word as the folder whatever it starts with).
    const std::string source = archive.front() == '-' ? "./" + archive : archive;
    return posix::runAndWait({unzipProgram(), "-o", "-q", source, "-d", destination});
}

}  // namespace platform::tools
