#include "StatusBodyServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <utility>

namespace {

constexpr std::size_t kPieceSize = std::size_t{1} << 20;

// Sends all of `size` bytes; false once the client is gone or stalls.
bool SendAll(int connection, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(connection, data, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace

StatusBodyServer::StatusBodyServer(std::uint64_t size, std::string location)
    : size_(size), location_(std::move(location)), piece_(kPieceSize) {
    std::mt19937 random(42);
    for (auto& byte : piece_) {
        byte = static_cast<char>(random());
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

StatusBodyServer::~StatusBodyServer() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listener_ >= 0) {
        ::close(listener_);
    }
}

void StatusBodyServer::Serve() {
    while (!stopping_) {
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, 100) != 1) {
            continue;
        }
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            continue;
        }
        const timeval bound{30, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        Answer(connection);
        ::close(connection);
    }
}

void StatusBodyServer::Answer(int connection) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return;
        }
        request.append(buffer, static_cast<std::size_t>(n));
    }
    // "GET /404/chunked HTTP/1.1", or "CONNECT 407-chunked:80 HTTP/1.1"
    const bool connect = request.rfind("CONNECT ", 0) == 0;
    const auto start = connect ? request.find(' ') : request.find(" /");
    const auto slash = request.find(connect ? '-' : '/', start + (connect ? 1 : 2));
    const auto end = request.find(connect ? ':' : ' ', slash);
    if (start == std::string::npos || slash == std::string::npos || end == std::string::npos) {
        return;
    }
    const std::size_t from = start + (connect ? 1 : 2);
    const std::string status = request.substr(from, slash - from);
    const bool chunked = request.compare(slash + 1, end - slash - 1, "chunked") == 0;
    const std::string target =
        status[0] == '3' && !location_.empty() ? "Location: " + location_ + "\r\n" : "";
    const std::string head =
        "HTTP/1.1 " + status + " Answer\r\nContent-Type: application/octet-stream\r\n" + target +
        (status == "407" ? "Proxy-Authenticate: Basic realm=\"bench\"\r\n" : "") +
        (chunked ? std::string("Transfer-Encoding: chunked")
                 : "Content-Length: " + std::to_string(size_)) +
        "\r\nConnection: close\r\n\r\n";
    if (!SendAll(connection, head.data(), head.size())) {
        return;
    }
    for (std::uint64_t left = size_; left > 0 && !stopping_;) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(left, kPieceSize));
        char line[32];
        const int lineSize = std::snprintf(line, sizeof line, "%zx\r\n", count);
        if ((chunked && !SendAll(connection, line, static_cast<std::size_t>(lineSize))) ||
            !SendAll(connection, piece_.data(), count) || (chunked && !SendAll(connection, "\r\n", 2))) {
            return;
        }
        left -= count;
    }
    if (chunked) {
        SendAll(connection, "0\r\n\r\n", 5);
    }
}
