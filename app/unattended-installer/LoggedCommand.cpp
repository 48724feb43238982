#include "LoggedCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <cstdlib>

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

int LoggedCommand::run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                       int inherited) {
    if (argv.empty()) {
        return kCannotRun;
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) {
        return kCannotRun;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
    if (inherited >= 0) {
        posix_spawn_file_actions_adddup2(&actions, inherited, 3);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, inherited >= 0 ? 4 : 3);
    // A group of its own, the default signal actions and no blocked signal,
    // whatever the installer had.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(output[1]);
    if (spawned != 0) {
        ::close(output[0]);
        logger_.error("%s: cannot be run: %s", name_.c_str(), argv[0].c_str());
        return kCannotRun;
    }

    const auto deadline = Clock::now() + timeout;
    std::string pending;
    bool open = true;
    int status = 0;
    bool ended = false;
    while (!ended && Clock::now() < deadline) {
        if (open) {
            open = readSome(output[0], pending, std::chrono::milliseconds(50));
            logOutput(pending, false);
        } else {
            ::usleep(20000);
        }
        ended = waitUntil(pid, status, Clock::now());
    }
    if (!ended) {
        logger_.error("%s: did not end within %lld s, stopped", name_.c_str(),
                      static_cast<long long>(
                          std::chrono::duration_cast<std::chrono::seconds>(timeout).count()));
        ::kill(-pid, SIGTERM);
        if (!waitUntil(pid, status, Clock::now() + kGrace)) {
            ::kill(-pid, SIGKILL);
            waitUntil(pid, status, Clock::now() + kGrace);
        }
        ::kill(-pid, SIGKILL);
    }
    const auto drainEnd = Clock::now() + kDrain;
    while (open && Clock::now() < drainEnd) {
        open = readSome(output[0], pending, std::chrono::milliseconds(20));
    }
    logOutput(pending, true);
    ::close(output[0]);
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
