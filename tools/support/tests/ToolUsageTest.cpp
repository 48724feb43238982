#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace {

// The programs built beside this test, by name (their paths are joined by ":").
std::map<std::string, std::string> builtTools() {
    std::map<std::string, std::string> tools;
    std::istringstream paths(QUORVANE_TOOLS);
    for (std::string path; std::getline(paths, path, ':');) {
        if (!path.empty()) {
            tools[path.substr(path.find_last_of('/') + 1)] = path;
        }
    }
    return tools;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// Every program answers --help with its usage on standard output and status
// 0, without doing anything else; a wrong argument gives one line naming the
// program and the reason, then the usage, on standard error, and status 64.
TEST(ToolUsageTest, HelpAndWrongArgumentsAnswerTheSameWayInEveryProgram) {
    // Rows: program, a wrong command line, a part of the reason it gives.
    const struct {
        std::string tool;
        std::vector<std::string> arguments;
        std::string reason;
    } wrong[] = {
        {"net-get", {"--bogus"}, "unknown option '--bogus'"},
        {"net-get", {}, "no URL"},
        {"net-get", {"http://127.0.0.1:1/", "-H"}, "option -H needs a value"},
        {"net-get", {"http://127.0.0.1:1/", "--proxy", "nope"}, "'nope' is not HOST:PORT"},
        {"net-get", {"ftp://127.0.0.1:1/"}, "the scheme of 'ftp://127.0.0.1:1/' is not http or https"},
        {"net-get", {"ws://127.0.0.1:1/"}, "is not http or https"},
        {"net-ws", {"--bogus"}, "unknown option '--bogus'"},
        {"net-ws", {}, "no URL"},
        {"net-ws", {"ws://127.0.0.1:1/", "ws://127.0.0.1:2/"}, "more than one URL"},
        {"net-ws", {"ws://127.0.0.1:1/", "--proxy"}, "option --proxy needs a value"},
        {"net-ws", {"ws://127.0.0.1:1/", "--proxy-user", "anna:secret"}, "--proxy-user needs --proxy"},
        // The options' "=" forms; a password is never said back, not even
        // to an option misspelt.
        {"net-ws", {"ws://127.0.0.1:1/", "--proxy-user=anna:secret"}, "--proxy-user needs --proxy"},
        {"net-ws", {"ws://127.0.0.1:1/", "--proxy=nope"}, "'nope' is not HOST:PORT"},
        {"net-get", {"http://127.0.0.1:1/", "--proxy-usr=anna:secret"},
         "unknown option '--proxy-usr=...'"},
        {"net-get", {"http://127.0.0.1:1/", "--proxy=h:1", "--proxy-user=secret"},
         "the proxy user is not USER:PASSWORD"},
        {"net-get", {"http://127.0.0.1:1/", "--proxy-user"}, "option --proxy-user needs a value"},
        {"net-ws", {"http://127.0.0.1:1/"}, "the scheme of 'http://127.0.0.1:1/' is not ws or wss"},
        {"net-ws", {"HTTPS://127.0.0.1:1/"}, "is not ws or wss"},
        {"qtp-get", {"--bogus"}, "unknown option '--bogus'"},
        {"qtp-get", {"http://127.0.0.1:1/a", "http://127.0.0.1:1/b"}, "more than one URL"},
        {"paramsdump", {"-Lang", "de"}, "the first argument must be the BUNDLE"},
        {"paramsdump", {}, "no BUNDLE"},
        {"messagesbin", {"only-one.json"}, "needs SOURCE.json and MESSAGES.bin"},
        {"coredemo", {"-ExitCode", "abc"}, "from 0 to 255, not 'abc'"},
        {"coredemo", {"-ExitCode", "300"}, "from 0 to 255, not '300'"},
        {"coredemo", {"-ExitCode", "1x"}, "from 0 to 255, not '1x'"},
        {"coredemo", {}, "no -ExitCode"},
        {"ipc-peer", {"--bogus"}, "takes no arguments"},
        {"logger-bench", {"--bogus"}, "unexpected argument '--bogus'"},
        {"task-scheduler-bench", {"--bogus"}, "unexpected argument '--bogus'"},
        {"http-download-bench", {"abc"}, "PACKAGE_MIB must be a whole number"},
        {"http-download-bench", {"1", "0"}, "TEXT_MIB must be a whole number"},
        {"ipc-bench", {"--bogus"}, "unexpected argument '--bogus'"},
        {"net-http-bench", {"--rounds", "0"}, "not a positive number for --rounds"},
        {"net-http-bench", {"--bogus"}, "unknown argument --bogus"},
        {"net-http-bench", {"--no-downloads", "--connections", "4"}, "not 1 or 8 for --connections: 4"},
        {"ipc-bench", {"--echo", "pigeons", "1", "10"}, "--echo takes"},
        {"net-websocket-bench", {"0"}, "ROUNDS must be a positive whole number, not '0'"},
        {"net-websocket-bench", {"7", "8"}, "unexpected argument '8'"},
    };
    const auto tools = builtTools();
    ASSERT_FALSE(tools.empty());
    for (const auto& [name, path] : tools) {
        for (const std::string help : {"--help", "-h"}) {
            const auto run = testsupport::runCommand({path, help});
            EXPECT_TRUE(run.exited && run.exitCode == 0) << name << " " << help << run.errors;
            EXPECT_EQ(0u, firstLine(run.output).rfind("usage: " + name, 0))
                << name << " " << help << ": " << run.output;
            EXPECT_EQ("", run.errors) << name << " " << help;
        }
        bool covered = false;
        for (const auto& row : wrong) {
            if (row.tool != name) {
                continue;
            }
            covered = true;
            std::vector<std::string> argv{path};
            argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
            const auto run = testsupport::runCommand(argv);
            const auto lines = testsupport::splitLines(run.errors);
            EXPECT_TRUE(run.exited && run.exitCode == 64) << name << " " << row.reason;
            ASSERT_GE(lines.size(), 2u) << name << ": " << run.errors;
            EXPECT_EQ(0u, lines[0].rfind(name + ": ", 0)) << lines[0];
            EXPECT_NE(std::string::npos, lines[0].find(row.reason)) << lines[0];
            EXPECT_EQ(0u, lines[1].rfind("usage: " + name, 0)) << lines[1];
            EXPECT_EQ("", run.output) << name << " " << row.reason;
            EXPECT_EQ(std::string::npos, run.errors.find("secret")) << run.errors;
        }
        EXPECT_TRUE(covered) << name << " has no wrong command line in the table";
    }
}

}  // namespace
