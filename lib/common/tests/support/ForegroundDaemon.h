#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace testsupport {

// A server program run in the foreground for a test (squid, tinyproxy), its
// standard output and error in `outputFile`, in `workingFolder` when one is
// given. Ready once `isReady` holds, checked until the program ends or 20 s
// have passed. Terminated, then killed, when the object goes.
class ForegroundDaemon {
public:
    ForegroundDaemon(std::vector<std::string> argv, const std::string& outputFile,
                     const std::function<bool()>& isReady, const std::string& workingFolder = {}) {
        std::vector<char*> words;
        for (auto& word : argv) {
            words.push_back(word.data());
        }
        words.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        if (!workingFolder.empty()) {
            posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
        }
        if (::posix_spawn(&pid_, words[0], &actions, nullptr, words.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (pid_ > 0 && Clock::now() < deadline && !reap(Clock::now()) && !(ready_ = isReady())) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~ForegroundDaemon() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        if (!reap(Clock::now() + std::chrono::seconds(5))) {
            ::kill(pid_, SIGKILL);
            reap(Clock::now() + std::chrono::seconds(5));
        }
    }
    ForegroundDaemon(const ForegroundDaemon&) = delete;
    ForegroundDaemon& operator=(const ForegroundDaemon&) = delete;

    bool ready() const { return ready_; }

private:
    using Clock = std::chrono::steady_clock;

    // Whether the program ended by `deadline` (it is then reaped).
    bool reap(Clock::time_point deadline) {
        for (int status = 0;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            if (Clock::now() >= deadline) return false;
        }
    }

    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace testsupport
