#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// A server on 127.0.0.1, on a free port, that answers a GET of
// "/STATUS/length" or "/STATUS/chunked" (or a CONNECT to
// "STATUS-length:PORT" or "STATUS-chunked:PORT", as a proxy that refuses
// the tunnel; a 407 with a Basic challenge) with that status and a body of
// `size` pseudo-random bytes, sent with its length or in chunks of 1 MiB,
// and then closes the connection: error pages of any size and framing, which
// nginx does not make. A 3xx answer carries `location`, when given, as its
// target. One connection at a time; every wait is bounded.
class StatusBodyServer {
public:
    explicit StatusBodyServer(std::uint64_t size, std::string location = "");
    ~StatusBodyServer();
    StatusBodyServer(const StatusBodyServer&) = delete;
    StatusBodyServer& operator=(const StatusBodyServer&) = delete;

    // 0 when it could not listen.
    int port() const { return port_; }

private:
    void Serve();
    void Answer(int connection);

    std::uint64_t size_;
    std::string location_;
    std::vector<char> piece_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
