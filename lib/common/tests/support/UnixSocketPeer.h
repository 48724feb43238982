#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

namespace testsupport {

// Binds an AF_UNIX stream socket at `path` (or connects it there); -1 when that fails.
inline int unixSocket(const std::string& path, bool connect) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const auto* at = reinterpret_cast<sockaddr*>(&address);
    if ((connect ? ::connect(fd, at, sizeof address) : ::bind(fd, at, sizeof address)) == 0) {
        return fd;
    }
    ::close(fd);
    return -1;
}

// A peer that speaks raw bytes over an AF_UNIX stream socket, from the test's thread.
class RawPeer {
public:
    explicit RawPeer(const std::string& path) : fd_(unixSocket(path, true)) {}
    ~RawPeer() { ::close(fd_); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool connected() const { return fd_ >= 0; }
    template <typename Bytes>
    void send(const Bytes& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
                  ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL));
    }
    // For a connection the other end may have closed already: whether all went.
    template <typename Bytes>
    bool trySend(const Bytes& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Exactly `count` bytes, or what came of them within `timeout`.
    std::string receive(std::size_t count, std::chrono::milliseconds timeout) {
        std::string bytes;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buffer[4096];
        while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0) {
                continue;
            }
            const ssize_t got =
                ::recv(fd_, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
            if (got <= 0) {
                break;
            }
            bytes.append(buffer, static_cast<std::size_t>(got));
        }
        return bytes;
    }
    // True when the other end closes the connection within `timeout`.
    bool closedWithin(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buffer[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, 50) > 0 && ::recv(fd_, buffer, sizeof buffer, 0) <= 0) {
                return true;
            }
        }
        return false;
    }

private:
    int fd_;
};

}  // namespace testsupport
