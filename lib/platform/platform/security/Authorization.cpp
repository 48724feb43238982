#include "platform/security/Authorization.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

extern char** environ;

namespace platform::security {

namespace {

constexpr const char* kPkexec = "/usr/bin/pkexec";
constexpr const char* kSudo = "/usr/bin/sudo";

std::mutex g_mutex;
std::optional<std::vector<std::string>> g_launcherOverride;

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

bool hasTerminal() {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

bool isExecutableFile(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 0111) != 0;
}

// Waits for the child without being cut short by signals.
bool waitFor(pid_t pid, int& status) {
    for (;;) {
        if (::waitpid(pid, &status, 0) == pid) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// Reaps the child whenever it ends, so that the caller may close the pipe
// before the tool is done without leaving a zombie behind.
void reapLater(pid_t pid) {
    std::thread([pid] {
        int status = 0;
        waitFor(pid, status);
    }).detach();
}

std::string systemError(int error) {
    return std::system_category().message(error);
}

ssize_t readRetrying(int fd, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

}  // namespace

OSStatus Authorization::create(const AuthorizationItemSet& rights,
                               const AuthorizationItemSet& environment, AuthorizationFlags flags,
                               std::unique_ptr<Authorization>& authorization) {
    authorization.reset(new Authorization());
    if (!rights.empty()) {
        const OSStatus status = authorization->copyRights(rights, environment, flags);
        if (status != errAuthorizationSuccess) {
            authorization.reset();
            return status;
        }
    }
    return errAuthorizationSuccess;
}

Authorization::~Authorization() = default;

OSStatus Authorization::copyRights(const AuthorizationItemSet& rights,
                                   const AuthorizationItemSet& /*environment*/,
                                   AuthorizationFlags flags) {
    failureReason_.clear();
    for (const auto& right : rights) {
        if (right.name != kAuthorizationRightExecute) {
            return fail(errAuthorizationDenied, "the right '" + right.name + "' is not known");
        }
    }
    std::optional<std::vector<std::string>> override;
    {
        std::lock_guard lock(g_mutex);
        override = g_launcherOverride;
    }
    if (override) {
        if (override->empty()) {
            return fail(errAuthorizationDenied,
                        "no pkexec or sudo was found to ask for administrator rights");
        }
        kind_ = LauncherKind::pkexec;
        launcher_ = *override;
    } else if (::geteuid() == 0) {
        kind_ = LauncherKind::direct;
        launcher_.clear();
    } else {
        LauncherProbe probe;
        probe.desktop = isSet("DISPLAY") || isSet("WAYLAND_DISPLAY");
        probe.terminal = hasTerminal();
        probe.pkexec = ::access(kPkexec, X_OK) == 0;
        probe.sudo = ::access(kSudo, X_OK) == 0;
        std::string reason;
        launcher_ = chooseLauncher(probe, reason);
        if (launcher_.empty()) {
            return fail(errAuthorizationDenied, reason);
        }
        kind_ = launcher_.front() == kSudo ? LauncherKind::sudo : LauncherKind::pkexec;
    }
    if (kind_ != LauncherKind::direct && (flags & kAuthorizationFlagInteractionAllowed) == 0) {
        return fail(errAuthorizationInteractionNotAllowed,
                    "administrator rights need a password here, and asking for it was not "
                    "allowed");
    }
    granted_ = true;
    return errAuthorizationSuccess;
}

std::vector<std::string> Authorization::chooseLauncher(const LauncherProbe& probe,
                                                       std::string& reason) {
    reason.clear();
    const bool sudo = probe.sudo && probe.terminal;
    if (sudo && !probe.desktop) {
        return {kSudo, "--"};
    }
    if (probe.pkexec) {
        return {kPkexec};
    }
    if (sudo) {
        return {kSudo, "--"};
    }
    reason = std::string("neither pkexec (") + kPkexec + ") nor sudo (" + kSudo +
             ") is installed to ask for administrator rights";
    if (probe.sudo) {
        reason = std::string("pkexec (") + kPkexec +
                 ") is not installed, and sudo cannot ask for a password without a terminal";
    }
    return {};
}

OSStatus Authorization::fail(OSStatus status, std::string reason) {
    failureReason_ = std::move(reason);
    return status;
}

OSStatus Authorization::executeWithPrivileges(const char* tool, AuthorizationFlags /*options*/,
                                              char* const* arguments, FILE** pipe) {
    failureReason_.clear();
    if (tool == nullptr || pipe == nullptr) {
        return fail(errAuthorizationInvalidPointer, "no tool, or nowhere to put its output");
    }
    *pipe = nullptr;
    if (!granted_) {
        return fail(errAuthorizationDenied, "the right to run tools as root was not obtained");
    }
    if (!isExecutableFile(tool)) {
        return fail(errAuthorizationToolExecuteFailure,
                    "'" + std::string(tool) + "' is not an executable file");
    }

    std::vector<std::string> argv = launcher_;
    argv.emplace_back(tool);
    for (char* const* argument = arguments; argument != nullptr && *argument != nullptr;
         ++argument) {
        argv.emplace_back(*argument);
    }
    std::vector<char*> argvPointers;
    for (auto& entry : argv) {
        argvPointers.push_back(entry.data());
    }
    argvPointers.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return fail(errAuthorizationToolExecuteFailure,
                    "no pipe for the tool's output: " + systemError(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int spawned =
        ::posix_spawn(&pid, argvPointers[0], &actions, nullptr, argvPointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        return fail(errAuthorizationToolExecuteFailure,
                    "cannot start '" + argv.front() + "': " + systemError(spawned));
    }

    if (kind_ != LauncherKind::direct) {
        // The launcher authenticates before it starts the tool: output means
        // the tool runs; an end without output is the launcher's answer or a
        // tool that wrote nothing.
        unsigned char first = 0;
        const ssize_t n = readRetrying(fds[0], &first, 1);
        if (n < 0) {
            const int error = errno;
            ::close(fds[0]);
            reapLater(pid);
            return fail(errAuthorizationToolExecuteFailure,
                        "cannot read the tool's output: " + systemError(error));
        }
        if (n == 0) {
            int status = 0;
            if (waitFor(pid, status) && WIFEXITED(status)) {
                const int code = WEXITSTATUS(status);
                OSStatus refusal = errAuthorizationSuccess;
                std::string reason;
                if (kind_ == LauncherKind::pkexec && code == 126) {
                    refusal = errAuthorizationCanceled;
                    reason = "the user dismissed pkexec's authentication dialog";
                } else if (kind_ == LauncherKind::pkexec && code == 127) {
                    refusal = errAuthorizationDenied;
                    reason =
                        "pkexec refused: the user is not authorised, the authentication failed "
                        "or no authentication agent could ask for the password";
                } else if (kind_ == LauncherKind::sudo && code == 1) {
                    refusal = errAuthorizationDenied;
                    reason =
                        "sudo refused: the password was wrong or not given, or the user may "
                        "not run the tool as root";
                }
                if (refusal != errAuthorizationSuccess) {
                    ::close(fds[0]);
                    return fail(refusal, reason);
                }
            }
            *pipe = ::fdopen(fds[0], "r");
            if (*pipe == nullptr) {
                const int error = errno;
                ::close(fds[0]);
                return fail(errAuthorizationToolExecuteFailure,
                            "cannot read the tool's output: " + systemError(error));
            }
            return errAuthorizationSuccess;
        }
        *pipe = ::fdopen(fds[0], "r");
        if (*pipe == nullptr || std::ungetc(first, *pipe) == EOF) {
            if (*pipe != nullptr) {
                std::fclose(*pipe);
                *pipe = nullptr;
            } else {
                ::close(fds[0]);
            }
            reapLater(pid);
            return fail(errAuthorizationToolExecuteFailure, "cannot read the tool's output");
        }
        reapLater(pid);
        return errAuthorizationSuccess;
    }

    *pipe = ::fdopen(fds[0], "r");
    const int error = errno;
    reapLater(pid);
    if (*pipe == nullptr) {
        ::close(fds[0]);
        return fail(errAuthorizationToolExecuteFailure,
                    "cannot read the tool's output: " + systemError(error));
    }
    return errAuthorizationSuccess;
}

void Authorization::overrideLauncher(const std::vector<std::string>& prefix) {
    std::lock_guard lock(g_mutex);
    g_launcherOverride = prefix;
}

void Authorization::resetLauncher() {
    std::lock_guard lock(g_mutex);
    g_launcherOverride.reset();
}

}  // namespace platform::security
