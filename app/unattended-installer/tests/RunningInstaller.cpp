#include "RunningInstaller.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace installertest {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> childEnvironment(const std::vector<std::string>& changes) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        environment.emplace_back(*entry);
    }
    for (const auto& change : changes) {
        const auto name = change.substr(0, change.find('='));
        std::erase_if(environment, [&name](const std::string& entry) {
            return entry.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (change.find('=') != std::string::npos) {
            environment.push_back(change);
        }
    }
    return environment;
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

RunningInstaller::RunningInstaller(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& environment) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        return;
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    auto variables = childEnvironment(environment);
    std::vector<char*> envp;
    for (auto& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);

    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    input_ = in[1];
    output_ = out[0];
    error_ = err[0];
    if (pid_ < 0) {
        closeFd(input_);
        closeFd(output_);
        closeFd(error_);
    }
}

RunningInstaller::~RunningInstaller() {
    closeFd(input_);
    closeFd(output_);
    closeFd(error_);
    if (pid_ > 0 && !waited_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

void RunningInstaller::noteStatus(int status) {
    waited_ = true;
    if (WIFEXITED(status)) {
        result_.exited = true;
        result_.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result_.signal = WTERMSIG(status);
    }
}

bool RunningInstaller::pump(std::chrono::milliseconds timeout) {
    pollfd fds[2];
    nfds_t count = 0;
    if (output_ >= 0) {
        fds[count++] = {output_, POLLIN, 0};
    }
    if (error_ >= 0) {
        fds[count++] = {error_, POLLIN, 0};
    }
    if (count == 0) {
        return false;
    }
    if (::poll(fds, count, static_cast<int>(timeout.count())) <= 0) {
        return true;
    }
    for (nfds_t i = 0; i < count; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
            continue;
        }
        char buffer[65536];
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        const bool isOutput = fds[i].fd == output_;
        if (n > 0) {
            (isOutput ? result_.output : result_.errors)
                .append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            closeFd(isOutput ? output_ : error_);
        }
    }
    return output_ >= 0 || error_ >= 0;
}

bool RunningInstaller::waitForErrorLine(const std::string& line,
                                        std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto lines = testsupport::splitLines(result_.errors);
        // Only whole lines count: the last piece may still be growing.
        const bool whole = !result_.errors.empty() && result_.errors.back() == '\n';
        const auto end = whole || lines.empty() ? lines.end() : lines.end() - 1;
        if (std::find(lines.begin(), end, line) != end) {
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !pump(std::min(left, std::chrono::milliseconds(50)))) {
            return false;
        }
    }
}

std::string RunningInstaller::firstOutputLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (result_.output.find('\n') == std::string::npos && Clock::now() < deadline &&
           pump(std::chrono::milliseconds(50))) {
    }
    const auto end = result_.output.find('\n');
    return end == std::string::npos ? std::string() : result_.output.substr(0, end);
}

bool RunningInstaller::staysRunning(std::chrono::milliseconds period) {
    const auto deadline = Clock::now() + period;
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            noteStatus(status);
            return false;
        }
        pump(std::chrono::milliseconds(20));
    }
    return true;
}

void RunningInstaller::writeInput(const std::string& text) {
    std::size_t written = 0;
    while (input_ >= 0 && written < text.size()) {
        const ssize_t n = ::write(input_, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        written += static_cast<std::size_t>(n);
    }
}

void RunningInstaller::closeInput() {
    closeFd(input_);
}

void RunningInstaller::signal(int number) const {
    if (pid_ > 0 && !waited_) {
        ::kill(pid_, number);
    }
}

testsupport::ChildResult RunningInstaller::finish(std::chrono::milliseconds timeout) {
    closeInput();
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline && pump(std::chrono::milliseconds(50))) {
    }
    while (!waited_) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            noteStatus(status);
        } else if (done < 0 && errno != EINTR) {
            break;
        } else if (Clock::now() >= deadline) {
            result_.timedOut = true;
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            waited_ = true;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return result_;
}

}  // namespace installertest
