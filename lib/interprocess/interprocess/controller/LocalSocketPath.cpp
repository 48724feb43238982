#include "interprocess/controller/LocalSocketPath.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "LocalSocketPlace.h"
#include "LocalSocketProbe.h"

namespace interprocess {

namespace {

constexpr const char* kFolder = "/var/tmp";

}  // namespace

std::string LocalSocketPath::forName(const std::string& name, const std::string& installationId) {
    return std::string(kFolder) + "/" + name + "_" + installationId;
}

bool LocalSocketPath::isHostable(const std::string& path, std::string& reason) {
    if (path.size() >= sizeof(sockaddr_un{}.sun_path) || path.find('\0') != std::string::npos) {
        reason = "the path is too long for a socket address";
        return false;
    }
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos || path.find('/', slash + 1) != std::string::npos ||
        path.compare(0, slash, kFolder) != 0 || slash + 1 == path.size()) {
        reason = "the installation id names another folder";
        return false;
    }
    const LocalSocketPlace::Look seen = LocalSocketPlace::look(path);
    switch (seen.finding) {
        case LocalSocketPlace::Finding::Free:
        case LocalSocketPlace::Finding::Stale:
        case LocalSocketPlace::Finding::Planted:
            // The server removes what is there, or moves it aside, and logs
            // what another user had put there or named there.
            return true;
        case LocalSocketPlace::Finding::Live:
            reason = "a live server of the same kind and id listens there";
            return false;
        case LocalSocketPlace::Finding::Kept:
            break;
    }
    reason = seen.what + " is there";
    return false;
}

bool LocalSocketPath::isLive(const std::string& path) {
    return LocalSocketProbe::isLive(path);
}

std::optional<LocalSocketPath::Stamp> LocalSocketPath::ownSocket(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode) ||
        status.st_uid != ::geteuid()) {
        return std::nullopt;
    }
    return Stamp{
        status.st_ino, status.st_dev,
        static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec};
}

bool LocalSocketPath::waitForNewSocket(const std::string& path,
                                       const std::optional<Stamp>& previous,
                                       std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto current = ownSocket(path);
        if (current && current != previous) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace interprocess
