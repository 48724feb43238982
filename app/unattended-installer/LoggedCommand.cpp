#include "LoggedCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

extern char** environ;

namespace quorvane::unattended {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kGrace{5000};
// How long output is still read once the program has ended.
constexpr std::chrono::milliseconds kDrain{200};
// A longer run of output without a line break is logged in pieces.
constexpr std::size_t kLongestLine = 4096;

// Waits for `pid` until `deadline`; true with `status` set when it ended.
bool waitUntil(pid_t pid, int& status, Clock::time_point deadline) {
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            return done == pid;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        ::usleep(10000);
    }
}

// Reads what `fd` holds within `wait`; false at its end.
bool readSome(int fd, std::string& into, std::chrono::milliseconds wait) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(wait.count())) <= 0) {
        return true;
    }
    char buffer[8192];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

}  // namespace

LoggedCommand::LoggedCommand(common::ILogger& logger, std::string name)
    : logger_(logger), name_(std::move(name)) {}

void LoggedCommand::logOutput(std::string& pending, bool all) {
    std::size_t start = 0;
    for (;;) {
        const auto end = pending.find('\n', start);
        if (end == std::string::npos) {
            if (pending.size() - start < kLongestLine && !(all && start < pending.size())) {
                break;
            }
            const std::string piece = pending.substr(start, kLongestLine);
            logger_.info("%s: %s", name_.c_str(), piece.c_str());
            start += piece.size();
            continue;
        }
        const std::string line = pending.substr(start, end - start);
        logger_.info("%s: %s", name_.c_str(), line.c_str());
        start = end + 1;
    }
    pending.erase(0, start);
}

bool LoggedCommand::stop(pid_t pid, int& status, bool gently) {
    if (gently) {
        ::kill(-pid, SIGTERM);
        if (waitUntil(pid, status, Clock::now() + kGrace)) {
            ::kill(-pid, SIGKILL);
            return true;
        }
    }
    ::kill(-pid, SIGKILL);
    return waitUntil(pid, status, Clock::now() + kGrace);
}

int LoggedCommand::run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                       int inherited) {
    if (argv.empty()) {
        return kCannotRun;
    }
    // Everything the child needs is made before the fork: between fork and
    // exec it makes system calls only.
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    int output[2];
    int failure[2];
    if (::pipe2(output, O_CLOEXEC) != 0) {
        return kCannotRun;
    }
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nothing < 0 || ::pipe2(failure, O_CLOEXEC) != 0) {
        for (const int fd : {output[0], output[1], nothing}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return kCannotRun;
    }
    // Above every descriptor the child keeps.
    const int report = ::fcntl(failure[1], F_DUPFD_CLOEXEC, 10);
    ::close(failure[1]);
    failure[1] = report;
    // The kernel compares the limit as a signed file offset: one past the
    // largest offset would stop the first write, and no file can pass it.
    const rlim_t limit = fileSizeLimit_ > static_cast<std::uint64_t>(
                                              std::numeric_limits<off_t>::max())
                             ? RLIM_INFINITY
                             : static_cast<rlim_t>(fileSizeLimit_);
    const rlimit fileSize{limit, limit};
    const pid_t parent = ::getpid();
    const pid_t pid = report < 0 ? -1 : ::fork();
    if (pid == 0) {
        // A group of its own, killed when we end, the default signal actions
        // and no blocked signal, whatever the installer had.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::dup2(nothing, STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(output[1], STDERR_FILENO);
        int keep = 2;
        if (inherited >= 0) {
            if (inherited == 3) {
                ::fcntl(3, F_SETFD, 0);
            } else {
                ::dup2(inherited, 3);
            }
            keep = 3;
        }
        // The failure report stays open (close-on-exec) above what is kept.
        ::close_range(static_cast<unsigned>(keep + 1), static_cast<unsigned>(report - 1), 0);
        ::close_range(static_cast<unsigned>(report + 1), ~0U, 0);
        if (fileSizeLimit_ > 0) {
            ::setrlimit(RLIMIT_FSIZE, &fileSize);
        }
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        for (const int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ}) {
            ::sigaction(signal, &defaults, nullptr);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(args[0], args.data(), environ);
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(report, &error, sizeof error);
        ::_exit(127);
    }
    if (pid > 0) {
        ::setpgid(pid, pid);
    }
    for (const int fd : {output[1], failure[1], nothing}) {
        ::close(fd);
    }
    int error = 0;
    const bool execFailed = pid > 0 && ::read(failure[0], &error, sizeof error) > 0;
    ::close(failure[0]);
    if (report < 0 || pid < 0 || execFailed) {
        int status = 0;
        if (pid > 0) {
            waitUntil(pid, status, Clock::now() + kGrace);
        }
        ::close(output[0]);
        logger_.error("%s: cannot be run: %s", name_.c_str(), argv[0].c_str());
        return kCannotRun;
    }

    const auto deadline = Clock::now() + timeout;
    std::string pending;
    bool open = true;
    int status = 0;
    bool ended = false;
    bool stopped = false;
    while (!ended && !stopped && Clock::now() < deadline) {
        if (open) {
            open = readSome(output[0], pending, std::chrono::milliseconds(50));
            logOutput(pending, false);
        } else {
            ::usleep(20000);
        }
        ended = waitUntil(pid, status, Clock::now());
        stopped = !ended && check_ && !check_();
    }
    if (stopped) {
        ended = stop(pid, status, false);
    } else if (!ended) {
        logger_.error("%s: did not end within %lld s, stopped", name_.c_str(),
                      static_cast<long long>(
                          std::chrono::duration_cast<std::chrono::seconds>(timeout).count()));
        stop(pid, status, true);
    }
    const auto drainEnd = Clock::now() + kDrain;
    while (open && Clock::now() < drainEnd) {
        open = readSome(output[0], pending, std::chrono::milliseconds(20));
    }
    logOutput(pending, true);
    ::close(output[0]);
    if (stopped) {
        return kStopped;
    }
    if (!ended) {
        return kTimedOut;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : kCannotRun;
}

void closeDescriptorsOnExec() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        return;
    }
    const int own = ::dirfd(folder);
    while (const dirent* entry = ::readdir(folder)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > 2 && fd != own) {
            const int flags = ::fcntl(fd, F_GETFD);
            if (flags >= 0) {
                ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
            }
        }
    }
    ::closedir(folder);
}

}  // namespace quorvane::unattended
