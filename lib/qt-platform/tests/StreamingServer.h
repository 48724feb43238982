#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
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
        bool send(const std::string& bytes);
        // Waits `duration`; false when the server is stopping meanwhile.
        bool pause(std::chrono::milliseconds duration);

    private:
        friend class StreamingServer;
        Connection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
        int fd_;
        const std::atomic<bool>& stopping_;
    };
    using Script = std::function<void(Connection&)>;

    explicit StreamingServer(Script script);
    ~StreamingServer();
    StreamingServer(const StreamingServer&) = delete;
    StreamingServer& operator=(const StreamingServer&) = delete;

    // "http://127.0.0.1:<port>" followed by `path`.
    std::string url(const std::string& path) const;
    // A response head with the given extra header lines (each ending in CRLF).
    static std::string head(const std::string& headers);

private:
    void serve(int fd);

    const Script script_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> connections_;  // touched by `thread_` only, until it ends
    std::thread thread_;
};
