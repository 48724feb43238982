#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Outcome of a child process: its exit code, or the signal that ended it, or
// a time-out (the child is then killed).
struct ChildResult {
    bool exited = false;
    int exitCode = -1;
    int signal = 0;
    bool timedOut = false;
    std::string output;  // standard output, when captured
    std::string errors;  // standard error, when captured
};

// Runs `body` in a forked copy of this process and waits for it at most
// `timeout`. The child ends with the value `body` returns. Used for code that
// changes process-wide state, such as logging set-up.
ChildResult runInChild(const std::function<int()>& body,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Waits for the child `pid` at most `timeout`, then kills it and reaps it.
ChildResult waitForChild(pid_t pid, std::chrono::milliseconds timeout);

struct CommandOptions {
    std::vector<std::string> environment;  // "NAME=value" entries added or replaced
    std::string input;                     // written to standard input, then closed
    std::string workingDirectory;
    std::chrono::milliseconds timeout = std::chrono::seconds(60);
};

// Starts a program (argv[0] is the path) with its standard input, output and
// error on /dev/null and does not wait; its pid, or -1 when it did not start.
// Wait for it with waitForChild. As a `foregroundJob` it starts as a shell
// starts one: in a process group of its own (whose id is its pid), which a
// test signals as a terminal signals its foreground job, with SIGHUP,
// SIGINT and SIGTERM at their default action and unblocked, whatever this
// process has (a test runner may ignore SIGINT).
pid_t startCommand(const std::vector<std::string>& argv, bool foregroundJob = false);

// Runs a program (argv[0] is the path) with its output captured.
ChildResult runCommand(const std::vector<std::string>& argv, const CommandOptions& options = {});

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);

// Splits a text into lines without their line ends.
std::vector<std::string> splitLines(const std::string& text);

}  // namespace testsupport
