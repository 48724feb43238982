#include "RunningInstaller.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

extern char** environ;

namespace installertest {

using Clock = std::chrono::steady_clock;

RunningInstaller::RunningInstaller(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& environment) {
    // env(1) makes the environment changes, so that nothing runs between fork and exec.
    std::vector<std::string> words{"/usr/bin/env"};
    for (const auto& change : environment) {
        if (change.find('=') == std::string::npos) {
            words.insert(words.begin() + 1, {"-u", change});
        } else {
            words.push_back(change);
        }
    }
    words.insert(words.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (auto& word : words) {
        args.push_back(word.data());
    }
    args.push_back(nullptr);
    // A socket for standard input: a write after the process ended raises no SIGPIPE.
    int in[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, streams_.file("out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, streams_.file("err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // The standard descriptors alone, as a shell starts a program: nothing
    // that the test program or CTest holds open takes a descriptor of a run
    // under a limit of a few.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    input_ = in[1];
}

RunningInstaller::~RunningInstaller() {
    closeInput();
    if (!ended()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool RunningInstaller::ended() {
    int status = 0;
    if (pid_ > 0 && !result_.exited && result_.signal == 0 &&
        ::waitpid(pid_, &status, WNOHANG) == pid_) {
        result_.exited = WIFEXITED(status);
        result_.exitCode = result_.exited ? WEXITSTATUS(status) : -1;
        result_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return pid_ <= 0 || result_.exited || result_.signal != 0;
}

std::string RunningInstaller::errors() const {
    return testsupport::readFile(streams_.file("err"));
}

bool RunningInstaller::waitForErrorLine(const std::string& line,
                                        std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const bool over = ended() || Clock::now() >= deadline;
        const std::string text = errors();
        // Only whole lines count: the last piece may still be growing.
        auto lines = testsupport::splitLines(text.substr(0, text.rfind('\n') + 1));
        if (std::find(lines.begin(), lines.end(), line) != lines.end()) {
            return true;
        }
        if (over) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool RunningInstaller::staysRunning(std::chrono::milliseconds period) {
    for (const auto deadline = Clock::now() + period; Clock::now() < deadline;) {
        if (ended()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !ended();
}

void RunningInstaller::writeInput(const std::string& text) {
    if (input_ >= 0 && ::send(input_, text.data(), text.size(), MSG_NOSIGNAL) < 0) {
        closeInput();
    }
}

void RunningInstaller::closeInput() {
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
}

void RunningInstaller::signal(int number) const {
    if (pid_ > 0 && !result_.exited && result_.signal == 0) {
        ::kill(pid_, number);
    }
}

testsupport::ChildResult RunningInstaller::finish(std::chrono::milliseconds timeout) {
    closeInput();
    for (const auto deadline = Clock::now() + timeout; !ended();) {
        if (Clock::now() >= deadline) {
            result_.timedOut = true;
            signal(SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result_.output = testsupport::readFile(streams_.file("out"));
    result_.errors = errors();
    return result_;
}

}  // namespace installertest
