#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// A loopback server that answers every connection with a script: it reads the request's head,
// then runs the script with the connection, which may send nothing, trickle bytes or stream a
// large body. Stopping it ends every script at its next pause or send, and closes every
// connection.
class StreamingServer {
public:
    class Connection {
    public:
        // False when the server is stopping or the client went away.
        bool send(const std::string& bytes) {
            for (std::size_t done = 0; done < bytes.size();) {
                if (stopping_) return false;
                if (!ready(fd_, POLLOUT)) continue;
                const ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done,
                                            MSG_NOSIGNAL | MSG_DONTWAIT);
                if (sent < 0 && errno != EAGAIN && errno != EINTR) return false;
                done += sent > 0 ? static_cast<std::size_t>(sent) : 0;
            }
            return true;
        }
        // The request's head as it was read, up to its blank line.
        const std::string& request() const { return request_; }
        // Waits `duration`; false when the server is stopping meanwhile.
        bool pause(std::chrono::milliseconds duration) {
            const auto deadline = std::chrono::steady_clock::now() + duration;
            while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            return !stopping_;
        }

    private:
        friend class StreamingServer;
        Connection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
        int fd_;
        const std::atomic<bool>& stopping_;
        std::string request_;
    };
    using Script = std::function<void(Connection&)>;

    explicit StreamingServer(Script script) : script_(std::move(script)) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        auto* at = reinterpret_cast<sockaddr*>(&address);
        if (listener_ < 0 || ::bind(listener_, at, length) != 0 || ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, at, &length) != 0) {
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
    ~StreamingServer() {
        stopping_ = true;
        thread_.join();
        for (auto& connection : connections_) connection.join();
        ::close(listener_);
    }
    StreamingServer(const StreamingServer&) = delete;
    StreamingServer& operator=(const StreamingServer&) = delete;

    // "http://127.0.0.1:<port>" followed by `path`.
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    // A response head with the given extra header lines (each ending in CRLF).
    static std::string head(const std::string& headers) {
        return "HTTP/1.1 200 OK\r\nConnection: close\r\n" + headers + "\r\n";
    }

    // A script that answers "<METHOD> /<status>[/big]" with that status and closes the
    // connection: the body is "status <status>" (with /big 1 MiB of 'p'), or none for a 1xx, a
    // 204 or a 304. What Qt takes without an error it does not follow.
    static void answerWithStatus(Connection& peer) {
        const auto& request = peer.request();
        const auto path = request.find(" /");
        const int status = path == request.npos ? 500 : std::atoi(request.c_str() + path + 2);
        const bool none = status < 200 || status == 204 || status == 304;
        const std::string body = none ? ""
                                 : request.compare(path + 2 + std::to_string(status).size(), 5,
                                                   "/big ") == 0
                                     ? std::string(1 << 20, 'p')
                                     : "status " + std::to_string(status);
        peer.send("HTTP/1.1 " + std::to_string(status) + " Status\r\nConnection: close\r\n" +
                  (none ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") +
                  "\r\n" + body) &&
            peer.pause(std::chrono::hours(1));
    }

private:
    // Waits up to 50 ms for `events` on `fd`.
    static bool ready(int fd, short events) {
        pollfd entry{fd, events, 0};
        return ::poll(&entry, 1, 50) > 0;
    }
    // Reads the request's head up to its blank line (bounded), then runs the script.
    void serve(int fd) {
        std::string request;
        char buffer[4096];
        while (!stopping_ && request.find("\r\n\r\n") == request.npos && request.size() < 65536) {
            if (!ready(fd, POLLIN)) continue;
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            request.append(buffer, static_cast<std::size_t>(got));
        }
        Connection connection(fd, stopping_);
        connection.request_ = request;
        if (!stopping_) script_(connection);
        ::close(fd);
    }

    const Script script_;
    const int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> connections_;  // touched by `thread_` only, until it ends
    std::thread thread_;
};
