#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

// A run without a desktop session, in `folder` when one is given.
testsupport::CommandOptions noDesktop(const std::string& folder = "") {
    testsupport::CommandOptions options;
    options.environment = {"DISPLAY", "WAYLAND_DISPLAY"};
    options.workingDirectory = folder;
    return options;
}

// The output and status of runs as this user; the unelevated role needs
// root (without it the elevation asks for a password).
TEST(CoreDemoTest, EachRoleReportsTheCodeItWasGiven) {
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string output;
        bool needsRoot;
    } runs[] = {
        {{"-Elevated", "-ExitCode", "5"}, 5, "<exitcode>5</exitcode>\n", false},
        {{}, 1, "", false},
        {{"-ExitCode", "7"}, 7, "elevated run answered 7\n<exitcode>7</exitcode>\n", true},
        {{"-ExitCode", "0"}, 0, "elevated run answered 0\n<exitcode>0</exitcode>\n", true},
    };
    for (const auto& run : runs) {
        if (run.needsRoot && ::geteuid() != 0) {
            continue;
        }
        std::vector<std::string> argv{COREDEMO_PATH};
        argv.insert(argv.end(), run.arguments.begin(), run.arguments.end());
        const auto result = testsupport::runCommand(argv, noDesktop());
        EXPECT_EQ(run.status, result.exitCode) << argv.size() << result.errors;
        std::string output;  // without the elevated copy's line naming its user
        for (const auto& line : testsupport::splitLines(result.output)) {
            output += line.starts_with("elevated copy running as user ") ? "" : line + "\n";
        }
        EXPECT_EQ(run.output, output) << argv.size() << result.errors;
    }
}

TEST(CoreDemoTest, AnotherUserWithNoWayToElevateGetsTheRefusal) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to start it as another user";
    }
    // A copy that the other user can reach and run.
    testsupport::TempDir folder;
    ::chmod(folder.path().c_str(), 0755);
    const std::string copy = folder.file("coredemo");
    boost::filesystem::copy_file(COREDEMO_PATH, copy);
    ::chmod(copy.c_str(), 0755);

    const auto result =
        testsupport::runCommand({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                 "--clear-groups", "--", copy, "-ExitCode", "7"},
                                noDesktop(folder.path()));
    ASSERT_TRUE(result.exited) << result.errors;
    EXPECT_EQ(1, result.exitCode) << result.output << result.errors;
    EXPECT_EQ((std::vector<std::string>{"elevated run answered -60005", "<exitcode>1</exitcode>"}),
              testsupport::splitLines(result.output))
        << result.errors;
}

}  // namespace
