#include "StreamingServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

// Waits up to 50 ms for `events` on `fd`.
bool ready(int fd, short events) {
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, 50) > 0;
}

}  // namespace

bool StreamingServer::Connection::send(const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        if (stopping_) return false;
        if (!ready(fd_, POLLOUT)) continue;
        const ssize_t sent =
            ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno != EAGAIN && errno != EINTR) return false;
        done += sent > 0 ? static_cast<std::size_t>(sent) : 0;
    }
    return true;
}

bool StreamingServer::Connection::pause(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return !stopping_;
}

StreamingServer::StreamingServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("the streaming server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
        while (!stopping_) {
            const int fd = ready(listener_, POLLIN)
                               ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)
                               : -1;
            if (fd >= 0) connections_.emplace_back([this, fd] { serve(fd); });
        }
    });
}

StreamingServer::~StreamingServer() {
    stopping_ = true;
    thread_.join();
    for (auto& connection : connections_) connection.join();
    ::close(listener_);
}

std::string StreamingServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string StreamingServer::head(const std::string& headers) {
    return "HTTP/1.1 200 OK\r\nConnection: close\r\n" + headers + "\r\n";
}

void StreamingServer::serve(int fd) {
    // The request's head, read up to its blank line (bounded).
    std::string request;
    char buffer[4096];
    while (!stopping_ && request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        if (!ready(fd, POLLIN)) continue;
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    Connection connection(fd, stopping_);
    if (!stopping_) script_(connection);
    ::close(fd);
}
