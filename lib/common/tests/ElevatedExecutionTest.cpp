#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "common/utils/ElevatedExecution.h"
#include "platform/security/Authorization.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

using platform::security::Authorization;

constexpr int kDenied = -60005;
constexpr int kCancelled = -60006;
constexpr int kToolFailure = -60031;

// Waits until every child of this process has ended and been reaped (a
// child that ended unreaped is seen without reaping it).
bool allChildrenReaped() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

class ElevatedExecutionTest : public ::testing::Test {
protected:
    void TearDown() override { Authorization::resetLauncher(); }

    std::string writeScript(const std::string& name, const std::string& body, mode_t mode = 0755) {
        const std::string path = folder_.file(name);
        std::ofstream(path) << "#!/bin/sh\n" << body;
        ::chmod(path.c_str(), mode);
        return path;
    }

    // A stand-in for pkexec: its first argument says how it answers; it
    // notes that it ran, then starts the tool or refuses.
    void useFakeLauncher(const std::string& answer) {
        const std::string launcher =
            writeScript("launcher", "touch '" + folder_.file("launched") + "'\ncase \"$1\" in\n" +
                                        "  grant) shift; exec \"$@\" ;;\n  cancel) exit 126 ;;\n" +
                                        "  deny) exit 127 ;;\nesac\nexit 1\n");
        Authorization::overrideLauncher({launcher, answer});
    }

    bool launcherRan() const { return std::ifstream(folder_.file("launched")).good(); }

    int runTool(const std::string& body, std::vector<std::string> arguments = {}) {
        const std::string tool = writeScript("tool", body);
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        return common::runElevated(tool.c_str(), argv.data());
    }

    testsupport::TempDir folder_;
};

// The tool's output and the exit code read from it: only a line that
// starts with the markers counts (long lines arrive in pieces of 255 bytes).
TEST_F(ElevatedExecutionTest, ReadsTheExitLineAfterProgressOutput) {
    useFakeLauncher("grant");
    const int none = common::kNoExitCode;
    const std::pair<std::string, int> tools[] = {
        {"echo 'Unpacking'\necho '<exitcode>0</exitcode>'\necho '<exitcode>9</exitcode>'\n", 0},
        {"printf 'step 1\\n<exitcode>5</exitcode>  \\t \\r\\n'\n", 5},
        {"echo '<exitcode>-7</exitcode>'\n", -7},
        {"echo '<exitcode>3</exitcode>'; exit 0\n", 3},
        {"echo '" + std::string(255, 'x') + "<exitcode>3</exitcode>'\n", 3},
        {"echo '" + std::string(300, 'x') + "<exitcode>3</exitcode>'\n", none},
        {"echo 'done <exitcode>4</exitcode>'\necho '<exitcode>1</exitcode>'\n", none},
        {"echo '<exitcode>'; echo '2</exitcode>'\n", none},
        {"exit 0\n", none},
        {"echo 'installing'; exit 2\n", none},
        {"echo '<exitcode>x</exitcode>'\n", none},
        {"echo '<exitcode>99999999999</exitcode>'\n", none},
    };
    for (const auto& [body, code] : tools) {
        EXPECT_EQ(code, runTool(body)) << body.substr(0, 80);
    }
    EXPECT_TRUE(launcherRan());
    EXPECT_TRUE(allChildrenReaped());
}

TEST_F(ElevatedExecutionTest, ArgumentsReachTheToolUnchangedWithoutAShell) {
    useFakeLauncher("grant");
    const std::string record = folder_.file("arguments");
    const std::string marker = folder_.file("injected");
    const int code = runTool("for a in \"$@\"; do printf '[%s]' \"$a\"; done > '" + record +
                                 "'\necho \"<exitcode>$#</exitcode>\"\n",
                             {"-PrivilegedInstall", "-SourcePath", "/tmp/a b.zip", "",
                              "\"quoted args\"", "$(touch " + marker + ")", "; touch " + marker});
    EXPECT_EQ(7, code);
    EXPECT_EQ("[-PrivilegedInstall][-SourcePath][/tmp/a b.zip][][\"quoted args\"][$(touch " +
                  marker + ")][; touch " + marker + "]",
              testsupport::readFile(record));
    EXPECT_FALSE(std::ifstream(marker).good());
}

// Refusals give the authorization status; a tool that cannot run is not
// handed to the launcher.
TEST_F(ElevatedExecutionTest, RefusedOrUnrunnableToolsGiveTheirStatus) {
    const std::string tool = "echo '<exitcode>0</exitcode>'\n";
    useFakeLauncher("grant");
    EXPECT_EQ(kToolFailure, common::runElevated(folder_.file("missing").c_str(), nullptr));
    const std::string plain = writeScript("plain", "echo '<exitcode>0</exitcode>'\n", 0644);
    EXPECT_EQ(kToolFailure, common::runElevated(plain.c_str(), nullptr));
    EXPECT_EQ(kToolFailure, common::runElevated(folder_.path().c_str(), nullptr));
    EXPECT_FALSE(launcherRan());
    useFakeLauncher("cancel");
    EXPECT_EQ(kCancelled, runTool(tool));
    EXPECT_TRUE(launcherRan());
    useFakeLauncher("deny");
    EXPECT_EQ(kDenied, runTool(tool));
    Authorization::overrideLauncher({});
    EXPECT_EQ(kDenied, runTool(tool));
    Authorization::overrideLauncher({folder_.file("no-such-launcher")});
    EXPECT_EQ(kToolFailure, runTool(tool));
    EXPECT_TRUE(allChildrenReaped());
}

// The log names why a run failed, in words, with the status; a run that
// succeeds logs nothing here.
TEST_F(ElevatedExecutionTest, FailuresAreLoggedWithTheirCauseAndStatus) {
    const std::string tool = "echo '<exitcode>0</exitcode>'\n";
    const struct {
        std::string launcher;  // the fake launcher's answer; "" none found, "?" one not there
        std::string body;      // the tool's script; "" a tool that is not there
        int status;
        std::string cause;
    } cases[] = {
        {"", tool, kDenied, "no pkexec or sudo was found to ask for administrator rights"},
        {"cancel", tool, kCancelled, "the user dismissed pkexec's authentication dialog"},
        {"deny", tool, kDenied, "pkexec refused: the user is not authorised"},
        {"?", tool, kToolFailure, "cannot start '" + folder_.file("no-such-launcher") + "': "},
        {"grant", "", kToolFailure, "'" + folder_.file("missing") + "' is not an executable file"},
        {"grant", "exit 0\n", common::kNoExitCode,
         "ended without printing its exit code as \"<exitcode>N</exitcode>\""},
        {"grant", tool, 0, ""},
    };
    for (const auto& c : cases) {
        const auto run = testsupport::runLogged([&] {
            if (c.launcher.empty()) {
                Authorization::overrideLauncher({});
            } else if (c.launcher == "?") {
                Authorization::overrideLauncher({folder_.file("no-such-launcher")});
            } else {
                useFakeLauncher(c.launcher);
            }
            const int status = c.body.empty()
                                   ? common::runElevated(folder_.file("missing").c_str(), nullptr)
                                   : runTool(c.body);
            return status == c.status ? 0 : 1;
        });
        const std::string what = c.launcher + " / " + c.body + "\n" + run.text();
        EXPECT_EQ(0, run.result.exitCode) << what;
        if (c.status == 0) {
            EXPECT_EQ(0, run.countOnChannel("ElevatedExecution")) << what;
            continue;
        }
        EXPECT_TRUE(run.hasPart("error", "ElevatedExecution", c.cause)) << what;
        EXPECT_TRUE(
            run.hasPart("error", "ElevatedExecution", "(status " + std::to_string(c.status) + ")"))
            << what;
    }
}

TEST_F(ElevatedExecutionTest, ToolStillRunningAfterItsExitLineIsReapedLater) {
    useFakeLauncher("grant");
    EXPECT_EQ(1, runTool("echo '<exitcode>1</exitcode>'\nsleep 0.3\necho 'late'\n"));
    EXPECT_TRUE(allChildrenReaped());
}

TEST_F(ElevatedExecutionTest, RootRunsTheToolDirectly) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    Authorization::resetLauncher();
    EXPECT_EQ(0, runTool("echo 'working'\necho \"<exitcode>$(id -u)</exitcode>\"\n"));
    EXPECT_EQ(common::kNoExitCode, runTool("exit 127\n"));
    EXPECT_EQ(kToolFailure, common::runElevated(folder_.file("missing").c_str(), nullptr));
    EXPECT_TRUE(allChildrenReaped());
}

TEST_F(ElevatedExecutionTest, CredentialsCannotBeCheckedWithoutAsking) {
    const std::string tool = writeScript("tool", "echo '<exitcode>6</exitcode>'\n");
    char* arguments[] = {nullptr};
    FILE* pipe = nullptr;
    useFakeLauncher("grant");
    EXPECT_EQ(-60007,
              common::executeWithPrivileges("admin", "secret", tool.c_str(), arguments, &pipe));
    EXPECT_EQ(nullptr, pipe);
    EXPECT_FALSE(launcherRan());
    if (::geteuid() == 0) {
        Authorization::resetLauncher();
        ASSERT_EQ(0,
                  common::executeWithPrivileges("admin", nullptr, tool.c_str(), arguments, &pipe));
        ASSERT_NE(nullptr, pipe);
        char line[64] = {};
        EXPECT_NE(nullptr, std::fgets(line, sizeof line, pipe));
        EXPECT_STREQ("<exitcode>6</exitcode>\n", line);
        std::fclose(pipe);
    }
    EXPECT_TRUE(allChildrenReaped());
}

TEST_F(ElevatedExecutionTest, OtherUserWithoutALauncherIsDenied) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to become another user";
    }
    if (::access("/usr/bin/pkexec", X_OK) == 0 || ::access("/usr/bin/sudo", X_OK) == 0) {
        GTEST_SKIP() << "a launcher is installed here";
    }
    const std::string tool = writeScript("tool", "echo '<exitcode>0</exitcode>'\n");
    ::chmod(folder_.path().c_str(), 0755);
    const auto run = testsupport::runLogged([&] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            return 1;
        }
        return common::runElevated(tool.c_str(), nullptr) == kDenied ? 0 : 2;
    });
    EXPECT_TRUE(run.result.exited);
    EXPECT_EQ(0, run.result.exitCode);
    EXPECT_TRUE(run.hasPart("error", "ElevatedExecution",
                            "neither pkexec (/usr/bin/pkexec) nor sudo (/usr/bin/sudo) is "
                            "installed to ask for administrator rights (status -60005)"))
        << run.text();
}

}  // namespace
