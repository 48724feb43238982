#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

    const auto deadline = Clock::now() + options.timeout;
    std::size_t written = 0;
    int inFd = in[1];
    if (options.input.empty()) {
        ::close(inFd);
        inFd = -1;
    } else {
        ::fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    bool outOpen = true, errOpen = true;
    while ((outOpen || errOpen) && Clock::now() < deadline) {
        pollfd fds[3];
        nfds_t count = 0;
        int outIndex = -1, errIndex = -1, inIndex = -1;
        if (outOpen) {
            outIndex = static_cast<int>(count);
            fds[count++] = {out[0], POLLIN, 0};
        }
        if (errOpen) {
            errIndex = static_cast<int>(count);
            fds[count++] = {err[0], POLLIN, 0};
        }
        if (inFd >= 0) {
            inIndex = static_cast<int>(count);
            fds[count++] = {inFd, POLLOUT, 0};
        }
        if (::poll(fds, count, 50) < 0 && errno != EINTR) {
            break;
        }
        char buffer[65536];
        auto drain = [&](int index, int fd, bool& open, std::string& target) {
            if (index < 0 || !(fds[index].revents & (POLLIN | POLLHUP | POLLERR))) {
                return;
            }
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                target.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                open = false;
            }
        };
        drain(outIndex, out[0], outOpen, result.output);
        drain(errIndex, err[0], errOpen, result.errors);
        if (inIndex >= 0 && (fds[inIndex].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n =
                ::write(inFd, options.input.data() + written, options.input.size() - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                written = options.input.size();
            }
            if (written >= options.input.size()) {
                ::close(inFd);
                inFd = -1;
            }
        }
    }
    if (inFd >= 0) {
        ::close(inFd);
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
