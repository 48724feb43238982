#include "support/ScriptServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/ChildProcess.h"

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPython = "/usr/bin/python3";

}  // namespace

std::string testSupportDirectory() {
    return QUORVANE_TEST_SUPPORT_DIR;
}

ScriptServer::ScriptServer(const std::string& script, const std::vector<std::string>& arguments,
                           std::chrono::milliseconds timeout) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return;
    }
    std::vector<std::string> words{kPython, "-u", script};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const int spawned = ::posix_spawn(&pid_, kPython, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    output_ = ends[0];
    if (spawned != 0) {
        pid_ = -1;
        return;
    }

    const auto deadline = Clock::now() + timeout;
    std::string line;
    while (line.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return;
        }
        pollfd poller{output_, POLLIN, 0};
        const int polled = ::poll(&poller, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            return;
        }
        char buffer[512];
        const ssize_t got = ::read(output_, buffer, sizeof buffer);
        if (got <= 0) {
            return;  // the script ended before it was ready
        }
        line.append(buffer, static_cast<std::size_t>(got));
    }
    readyLine_ = line.substr(0, line.find('\n'));
}

ScriptServer::~ScriptServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        waitForChild(pid_, std::chrono::seconds(5));  // killed when it takes longer
    }
    if (output_ >= 0) {
        ::close(output_);
    }
}

std::optional<int> ScriptServer::readyNumber(const std::string& key) const {
    const std::string quoted = "\"" + key + "\":";
    const auto at = readyLine_.find(quoted);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const char* start = readyLine_.c_str() + at + quoted.size();
    char* end = nullptr;
    const long value = std::strtol(start, &end, 10);
    if (end == start) {
        return std::nullopt;  // null or not a number
    }
    return static_cast<int>(value);
}

}  // namespace testsupport
