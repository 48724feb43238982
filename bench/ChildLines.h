#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ipcbench {

// The monotonic clock, which all processes share, in nanoseconds.
std::int64_t nowNs();
// Writes `line` and a line end to `fd` whole, or ends the process.
void writeLine(int fd, const std::string& line);

// A child of the bench, running `body` as `uid` (start): it ends when its
// input does; its standard output is `output`.
struct Child {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
};

Child start(uid_t uid, const std::function<int()>& body);
// Closes the child's input and reaps it, killing it after 10 s.
void finish(Child& child);

// The lines a child writes, collected as they come by a thread of their own,
// which ends with the child's output.
class ChildLines {
public:
    using Clock = std::chrono::steady_clock;

    explicit ChildLines(int fd);
    ~ChildLines();
    ChildLines(const ChildLines&) = delete;
    ChildLines& operator=(const ChildLines&) = delete;

    std::vector<std::string> all() const;
    // The first line that begins with `prefix`, waiting `timeout` at most.
    std::optional<std::string> waitFor(const std::string& prefix, Clock::duration timeout);

private:
    void run();

    int fd_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
    std::thread thread_;
};

}  // namespace ipcbench
