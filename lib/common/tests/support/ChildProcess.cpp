#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

void fillStatus(ChildResult& result, int status) {
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
}

// Waits for `pid` until the deadline, killing it when the deadline passes.
void waitUntil(pid_t pid, Clock::time_point deadline, ChildResult& result) {
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            fillStatus(result, status);
            return;
        }
        if (done < 0 && errno != EINTR) {
            return;
        }
        if (Clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

ChildResult waitForChild(pid_t pid, std::chrono::milliseconds timeout) {
    ChildResult result;
    waitUntil(pid, Clock::now() + timeout, result);
    return result;
}

ChildResult runInChild(const std::function<int()>& body, std::chrono::milliseconds timeout) {
    ChildResult result;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        return result;
    }
    if (pid == 0) {
        int code = 1;
        try {
            code = body();
        } catch (...) {
            code = 99;
        }
        std::fflush(nullptr);
        ::_exit(code);
    }
    waitUntil(pid, Clock::now() + timeout, result);
    return result;
}

pid_t startCommand(const std::vector<std::string>& argv, bool foregroundJob) {
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                         fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (foregroundJob) {
        sigset_t closing;
        sigemptyset(&closing);
        for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
            sigaddset(&closing, signal);
        }
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attributes, &closing);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                                  POSIX_SPAWN_SETPGROUP);
    }
    pid_t pid = -1;
    if (::posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

ChildResult runCommand(const std::vector<std::string>& argv, const CommandOptions& options) {
    ChildResult result;
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        return result;
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    // The child's environment: ours with the requested entries added,
    // replaced, or (for a bare name) removed. Built before fork.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        environment.emplace_back(*entry);
    }
    for (const auto& change : options.environment) {
        const auto name = change.substr(0, change.find('='));
        std::erase_if(environment, [&name](const std::string& entry) {
            return entry.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (change.find('=') != std::string::npos) {
            environment.push_back(change);
        }
    }
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        return result;
    }
    if (pid == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
            ::_exit(126);
        }
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);

    // Closed ends are left out of the poll as -1.
    const auto deadline = Clock::now() + options.timeout;
    std::size_t written = 0;
    if (options.input.empty()) {
        ::close(in[1]);
        in[1] = -1;
    } else {
        ::fcntl(in[1], F_SETFL, O_NONBLOCK);
    }
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    std::string* targets[2] = {&result.output, &result.errors};
    while ((fds[0].fd >= 0 || fds[1].fd >= 0) && Clock::now() < deadline) {
        if (::poll(fds, 3, 50) < 0 && errno != EINTR) {
            break;
        }
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                targets[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                fds[i].fd = -1;
            }
        }
        if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n =
                ::write(in[1], options.input.data() + written, options.input.size() - written);
            written += n > 0 ? static_cast<std::size_t>(n) : 0;
            if (written >= options.input.size() || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                ::close(in[1]);
                fds[2].fd = in[1] = -1;
            }
        }
    }
    if (in[1] >= 0) {
        ::close(in[1]);
    }
    ::close(out[0]);
    ::close(err[0]);
    waitUntil(pid, deadline, result);
    return result;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream stream(text);
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace testsupport
