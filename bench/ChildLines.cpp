#include "ChildLines.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/logging/Logger.h"

namespace ipcbench {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

void writeLine(int fd, const std::string& line) {
    const std::string whole = line + "\n";
    if (::write(fd, whole.data(), whole.size()) != static_cast<ssize_t>(whole.size())) {
        std::_Exit(3);
    }
}

Child start(uid_t uid, const std::function<int()>& body) {
    int down[2];
    int up[2];
    if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only its own pipes: another child's input must end when the bench
        // closes it.
        ::dup2(down[0], STDIN_FILENO);
        ::dup2(up[1], STDOUT_FILENO);
        ::close_range(3, ~0u, 0);
        if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) {
            std::_Exit(120);
        }
        if (uid != 0) {
            common::Logger::setEarlyLevel(common::loglevel::off);
        }
        std::_Exit(body());
    }
    ::close(down[0]);
    ::close(up[1]);
    return {pid, down[1], up[0]};
}

void finish(Child& child) {
    if (child.pid <= 0) {
        return;
    }
    if (child.input >= 0) {
        ::close(child.input);
    }
    const auto deadline = Clock::now() + 10s;
    while (::waitpid(child.pid, nullptr, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(child.pid, SIGKILL);
            ::waitpid(child.pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    child.pid = -1;
}

ChildLines::ChildLines(int fd) : fd_(fd), thread_([this] { run(); }) {}

ChildLines::~ChildLines() {
    thread_.join();
    ::close(fd_);
}

std::vector<std::string> ChildLines::all() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::optional<std::string> ChildLines::waitFor(const std::string& prefix, Clock::duration timeout) {
    std::unique_lock lock(mutex_);
    std::optional<std::string> found;
    changed_.wait_for(lock, timeout, [&] {
        for (const auto& line : lines_) {
            if (line.compare(0, prefix.size(), prefix) == 0) {
                found = line;
                return true;
            }
        }
        return ended_;
    });
    return found;
}

void ChildLines::run() {
    std::string buffer;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd_, chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
        std::size_t end = 0;
        std::lock_guard lock(mutex_);
        for (std::size_t at; (at = buffer.find('\n', end)) != std::string::npos; end = at + 1) {
            lines_.push_back(buffer.substr(end, at - end));
        }
        buffer.erase(0, end);
        changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

}  // namespace ipcbench
