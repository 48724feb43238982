#include "LoggedCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <utility>

#include "OutputLines.h"

extern char** environ;

namespace quorvane::unattended {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kGrace{5000};
// How long output is still read once the program has ended.
constexpr std::chrono::milliseconds kDrain{200};

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

// Reads what `fd` holds within `wait` into `lines`; false at its end.
bool readSome(int fd, OutputLines& lines, std::chrono::milliseconds wait) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(wait.count())) <= 0) {
        return true;
    }
    char buffer[8192];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        lines.feed(buffer, static_cast<std::size_t>(n));
        return true;
    }
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

// What the keeper reads from the installer to let the group go on.
constexpr char kRelease = 'r';
// The longest the keeper waits before it looks at its pipes again.
constexpr timespec kKeeperLook{1, 0};

// What the keeper and the program need, made before the fork: between the
// fork and exec (or _exit) they make system calls only.
struct ChildSetup {
    char* const* argv = nullptr;
    int nothing = -1;    // /dev/null, the program's standard input
    int output = -1;     // the write end of the output pipe
    int outputEnd = -1;  // its read end, handed over at release
    int report = -1;     // where a failure to start is told (close-on-exec)
    int inherited = -1;  // the program's descriptor 3, or -1
    int control = -1;    // the keeper's end of the installer's control pipe
    int status = -1;     // the keeper's end of the pipe that tells the program's end
    bool limitFileSize = false;
    rlimit fileSize{};
};

void noteChild(int) {}

// Closes every descriptor above 2 but `keep` (-1 entries ignored).
void closeAllBut(int* keep, std::size_t count) {
    for (std::size_t i = 1; i < count; ++i) {
        for (std::size_t j = i; j > 0 && keep[j - 1] > keep[j]; --j) {
            std::swap(keep[j - 1], keep[j]);
        }
    }
    unsigned from = 3;
    for (std::size_t i = 0; i < count; ++i) {
        if (keep[i] < static_cast<int>(from)) {
            continue;
        }
        if (static_cast<unsigned>(keep[i]) > from) {
            ::close_range(from, static_cast<unsigned>(keep[i]) - 1, 0);
        }
        from = static_cast<unsigned>(keep[i]) + 1;
    }
    ::close_range(from, ~0U, 0);
}

// The default actions of the signals the installer handles or ignores, and
// none blocked.
void restoreSignalDefaults() {
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (const int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ, SIGCHLD}) {
        ::sigaction(signal, &defaults, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The program, a child of the keeper: killed when the keeper ends, with the
// default signal actions and no blocked signal, whatever the installer had.
[[noreturn]] void runProgram(const ChildSetup& setup, pid_t keeper) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != keeper) {
        ::_exit(127);
    }
    ::dup2(setup.nothing, STDIN_FILENO);
    ::dup2(setup.output, STDOUT_FILENO);
    ::dup2(setup.output, STDERR_FILENO);
    int keep = 2;
    if (setup.inherited >= 0) {
        if (setup.inherited == 3) {
            ::fcntl(3, F_SETFD, 0);
        } else {
            ::dup2(setup.inherited, 3);
        }
        keep = 3;
    }
    // The failure report stays open (close-on-exec) above what is kept.
    ::close_range(static_cast<unsigned>(keep + 1), static_cast<unsigned>(setup.report - 1), 0);
    ::close_range(static_cast<unsigned>(setup.report + 1), ~0U, 0);
    if (setup.limitFileSize) {
        ::setrlimit(RLIMIT_FSIZE, &setup.fileSize);
    }
    restoreSignalDefaults();
    ::execve(setup.argv[0], setup.argv, environ);
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(setup.report, &error, sizeof error);
    ::_exit(127);
}

// At release, from the keeper: what the program left running keeps writing
// its standard output and error, which nobody reads any more. A process of
// its own in the group reads them into /dev/null for as long as one of them
// holds them: /bin/cat, or this copy when cat cannot be run (or /dev/null
// cannot be opened for it to write into). It holds no folder of the run.
void handOverOutput(const ChildSetup& setup) {
    if (::fork() != 0) {
        return;
    }
    restoreSignalDefaults();
    [[maybe_unused]] const int atRoot = ::chdir("/");
    const int sink = ::open("/dev/null", O_WRONLY);
    ::dup2(setup.outputEnd, STDIN_FILENO);
    if (sink >= 0) {
        ::dup2(sink, STDOUT_FILENO);
        ::dup2(sink, STDERR_FILENO);
    }
    ::close_range(3, ~0U, 0);
    if (sink >= 0) {
        char* const argv[] = {const_cast<char*>("cat"), nullptr};
        char* const environment[] = {nullptr};
        ::execve("/bin/cat", argv, environment);
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR)) {
            ::_exit(0);
        }
    }
}

// The keeper: leads the group, starts the program in it, tells the
// installer how the program ended, then waits. A release from the installer
// hands the program's output over and ends the keeper alone; the
// installer's end (its end of the control pipe closed), or anything else on
// that pipe, kills the whole group. Nothing but SIGKILL ends it otherwise.
[[noreturn]] void keepGroup(ChildSetup setup) {
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_SETMASK, &all, nullptr);
    ::setpgid(0, 0);
    // Not even the installer's standard streams: its result line's pipe
    // ends when the installer does.
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        ::dup2(setup.nothing, fd);
    }
    int keep[] = {setup.nothing,   setup.output,  setup.outputEnd, setup.report,
                  setup.inherited, setup.control, setup.status};
    closeAllBut(keep, sizeof keep / sizeof keep[0]);
    struct sigaction onChild {};
    onChild.sa_handler = noteChild;
    ::sigaction(SIGCHLD, &onChild, nullptr);
    const pid_t self = ::getpid();
    const pid_t program = ::fork();
    if (program == 0) {
        runProgram(setup, self);
    }
    if (program < 0) {
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(setup.report, &error, sizeof error);
        ::_exit(127);
    }
    for (const int fd : {setup.nothing, setup.output, setup.report, setup.inherited}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    sigset_t waiting = all;
    sigdelset(&waiting, SIGCHLD);
    bool told = false;
    for (;;) {
        int status = 0;
        if (!told && ::waitpid(program, &status, WNOHANG) == program) {
            [[maybe_unused]] const ssize_t written = ::write(setup.status, &status, sizeof status);
            ::close(setup.status);
            told = true;
        }
        pollfd entry{setup.control, POLLIN, 0};
        if (::ppoll(&entry, 1, &kKeeperLook, &waiting) <= 0) {
            continue;
        }
        char command = 0;
        const ssize_t n = ::read(setup.control, &command, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 1 && command == kRelease) {
            handOverOutput(setup);
            ::_exit(0);
        }
        break;
    }
    ::kill(0, SIGKILL);
    ::_exit(1);
}

// Whether the keeper has told how the program ended within `wait`; a
// keeper gone without telling counts as the program killed.
bool programEnded(int statusPipe, int& status, std::chrono::milliseconds wait) {
    pollfd entry{statusPipe, POLLIN, 0};
    const auto deadline = Clock::now() + wait;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready > 0) {
            break;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
    int value = 0;
    const ssize_t n = ::read(statusPipe, &value, sizeof value);
    if (n < 0 && errno == EINTR) {
        return false;
    }
    status = n == static_cast<ssize_t>(sizeof value) ? value : SIGKILL;
    return true;
}

}  // namespace

LoggedCommand::LoggedCommand(common::ILogger& logger, std::string name)
    : logger_(logger), name_(std::move(name)) {}

LoggedCommand::~LoggedCommand() {
    endGroup();
}

void LoggedCommand::release() {
    if (keeper_ <= 0) {
        return;
    }
    [[maybe_unused]] const ssize_t written = ::write(control_, &kRelease, 1);
    ::close(control_);
    int status = 0;
    waitUntil(keeper_, status, Clock::now() + kGrace);
    keeper_ = -1;
    control_ = -1;
}

void LoggedCommand::endGroup() {
    if (keeper_ <= 0) {
        return;
    }
    // The keeper is not reaped yet: the group's id is still its own.
    ::kill(-keeper_, SIGKILL);
    ::close(control_);
    int status = 0;
    waitUntil(keeper_, status, Clock::now() + kGrace);
    keeper_ = -1;
    control_ = -1;
}

bool LoggedCommand::stop(int statusPipe, int& status, bool gently) {
    if (gently) {
        ::kill(-keeper_, SIGTERM);
        if (programEnded(statusPipe, status, kGrace)) {
            endGroup();
            return true;
        }
    }
    endGroup();
    return programEnded(statusPipe, status, kGrace);
}

int LoggedCommand::run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                       int inherited) {
    endGroup();
    if (argv.empty()) {
        return kCannotRun;
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    int output[2] = {-1, -1};
    int failure[2] = {-1, -1};
    int control[2] = {-1, -1};
    int status[2] = {-1, -1};
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const bool opened = nothing >= 0 && ::pipe2(output, O_CLOEXEC) == 0 &&
                        ::pipe2(failure, O_CLOEXEC) == 0 && ::pipe2(control, O_CLOEXEC) == 0 &&
                        ::pipe2(status, O_CLOEXEC) == 0;
    // Above every descriptor the program keeps.
    const int report = opened ? ::fcntl(failure[1], F_DUPFD_CLOEXEC, 10) : -1;
    const auto closeAll = [&](std::initializer_list<int> fds) {
        for (const int fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    };
    if (report < 0) {
        closeAll({nothing, output[0], output[1], failure[0], failure[1], control[0], control[1],
                  status[0], status[1]});
        return kCannotRun;
    }
    ChildSetup setup;
    setup.argv = args.data();
    setup.nothing = nothing;
    setup.output = output[1];
    setup.outputEnd = output[0];
    setup.report = report;
    setup.inherited = inherited;
    setup.control = control[0];
    setup.status = status[1];
    // The kernel compares the limit as a signed file offset: one past the
    // largest offset would stop the first write, and no file can pass it.
    const rlim_t limit = fileSizeLimit_ > static_cast<std::uint64_t>(
                                              std::numeric_limits<off_t>::max())
                             ? RLIM_INFINITY
                             : static_cast<rlim_t>(fileSizeLimit_);
    setup.limitFileSize = fileSizeLimit_ > 0;
    setup.fileSize = {limit, limit};
    const pid_t keeper = ::fork();
    if (keeper == 0) {
        keepGroup(setup);
    }
    if (keeper > 0) {
        ::setpgid(keeper, keeper);
        keeper_ = keeper;
        control_ = control[1];
    } else {
        ::close(control[1]);
    }
    closeAll({output[1], failure[1], report, nothing, control[0], status[1]});
    int error = 0;
    const bool execFailed = keeper > 0 && ::read(failure[0], &error, sizeof error) > 0;
    ::close(failure[0]);
    if (keeper < 0 || execFailed) {
        endGroup();
        closeAll({output[0], status[0]});
        logger_.error("%s: cannot be run: %s", name_.c_str(), argv[0].c_str());
        return kCannotRun;
    }

    const auto deadline = Clock::now() + timeout;
    // Each line as it is complete, whole and unformatted; one that was cut
    // at its bound ends in a mark that says so.
    const std::string cutMark =
        " [cut: longer than " + std::to_string(OutputLines::kLongestLine) + " bytes]";
    OutputLines lines([this, &cutMark](const std::string& line, bool cut) {
        logger_.log(common::loglevel::info, name_ + ": " + line + (cut ? cutMark : ""));
    });
    bool open = true;
    int ending = 0;
    bool ended = false;
    bool stopped = false;
    while (!ended && !stopped && Clock::now() < deadline) {
        if (open) {
            open = readSome(output[0], lines, std::chrono::milliseconds(50));
        }
        ended = programEnded(status[0], ending, std::chrono::milliseconds(open ? 0 : 20));
        stopped = !ended && check_ && !check_();
    }
    if (stopped) {
        ended = stop(status[0], ending, false);
    } else if (!ended) {
        logger_.error("%s: did not end within %lld s, stopped", name_.c_str(),
                      static_cast<long long>(
                          std::chrono::duration_cast<std::chrono::seconds>(timeout).count()));
        stop(status[0], ending, true);
    }
    // What the program wrote before it ended is read at least once, however
    // late this thread gets to it.
    const auto drainEnd = Clock::now() + kDrain;
    for (bool first = true; open && (first || Clock::now() < drainEnd); first = false) {
        open = readSome(output[0], lines, std::chrono::milliseconds(20));
    }
    lines.finish();
    closeAll({output[0], status[0]});
    if (stopped) {
        return kStopped;
    }
    if (!ended) {
        return kTimedOut;
    }
    if (WIFEXITED(ending)) {
        return WEXITSTATUS(ending);
    }
    return WIFSIGNALED(ending) ? 128 + WTERMSIG(ending) : kCannotRun;
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
