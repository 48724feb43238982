#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace interprocesstest {

// The test peer program (ipc-peer) as a child process: commands go to its
// standard input, its event lines are read from its standard output. Ended
// and reaped with the object, killed when it does not end by itself. Given a
// user, it runs as that user (and group), with no other groups.
class PeerProcess {
public:
    explicit PeerProcess(std::optional<uid_t> user = std::nullopt);
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    void command(const std::string& line);
    // The first line not read before that begins with `prefix`, waiting at
    // most `timeout`; lines before it are passed over and kept in `seen`.
    std::optional<std::string> waitFor(const std::string& prefix,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void signal(int number);
    // Sends SIGKILL and reaps the child.
    void kill();
    pid_t pid() const { return pid_; }

    std::vector<std::string> seen;

private:
    std::optional<std::string> nextLine(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffer_;
};

// Installation ids of one test: unique to the process and the test, so that
// tests running in parallel never share a queue; the queues named through
// `queue`, and all others under its ids, are removed at the end.
class QueueNames {
public:
    QueueNames();
    ~QueueNames();
    QueueNames(const QueueNames&) = delete;
    QueueNames& operator=(const QueueNames&) = delete;

    const std::string& prefix() const { return prefix_; }
    // The full queue name of process `name`, removed at the end.
    std::string queue(const std::string& name);
    // The same for the process of `name` that `user` runs.
    std::string queueOf(const std::string& name, uid_t user);

private:
    std::string prefix_;
    std::vector<std::string> queues_;
};

}  // namespace interprocesstest
