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

TEST(CoreDemoTest, ElevatedRolePrintsTheCodeItWasGiven) {
    const auto result =
        testsupport::runCommand({COREDEMO_PATH, "-Elevated", "-ExitCode", "5"}, noDesktop());
    ASSERT_TRUE(result.exited) << result.errors;
    EXPECT_EQ(5, result.exitCode);
    const auto lines = testsupport::splitLines(result.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("<exitcode>5</exitcode>", lines.back());
}

TEST(CoreDemoTest, WithoutACodeItDoesNotStart) {
    const auto result = testsupport::runCommand({COREDEMO_PATH}, noDesktop());
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ(std::string::npos, result.output.find("<exitcode>"));
}

TEST(CoreDemoTest, AsRootItReportsItsElevatedChildsExitCode) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    const auto result = testsupport::runCommand({COREDEMO_PATH, "-ExitCode", "7"}, noDesktop());
    ASSERT_TRUE(result.exited) << result.errors;
    EXPECT_EQ(7, result.exitCode);
    EXPECT_EQ((std::vector<std::string>{"elevated run answered 7", "<exitcode>7</exitcode>"}),
              testsupport::splitLines(result.output))
        << result.errors;

    const auto zero = testsupport::runCommand({COREDEMO_PATH, "-ExitCode", "0"}, noDesktop());
    EXPECT_EQ(0, zero.exitCode);
    EXPECT_NE(std::string::npos, zero.output.find("elevated run answered 0\n"));
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
