#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

// Whether a server listens at a local socket path, asked by connecting
// without waiting: a listener answers at once (or is too busy to, EAGAIN), a
// socket nobody listens on any more refuses. No Qt: the inter-process layer
// asks it too.
class LocalSocketProbe {
public:
    static bool isLive(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path || path.find('\0') != std::string::npos) {
            return false;
        }
        std::memcpy(address.sun_path, path.data(), path.size());
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (probe < 0) {
            return false;
        }
        const int result = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
        const bool live = result == 0 || errno == EAGAIN || errno == EINPROGRESS;
        ::close(probe);
        return live;
    }
};
