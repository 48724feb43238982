#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/Spawn.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

using platform::posix::runAndWait;

namespace {

// Runs `argv` through runAndWait in a child whose own standard output and
// error go to files, so the test can see where the program's output went.
struct Outcome {
    int status = -2;
    std::string out;
    std::string err;
};

Outcome runRedirected(const std::vector<std::string>& argv) {
    testsupport::TempDir folder;
    const auto result = testsupport::runInChild([&] {
        const int out = ::open(folder.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(folder.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        const int status = runAndWait(argv);
        return status < 0 ? 255 : status;
    });
    Outcome outcome;
    outcome.status = result.exited ? result.exitCode : -2;
    outcome.out = testsupport::readFile(folder.file("out"));
    outcome.err = testsupport::readFile(folder.file("err"));
    return outcome;
}

// Output goes to standard error, input is empty, and arguments arrive as
// they are, without a shell.
TEST(SpawnTest, OutputGoesToStandardErrorAndArgumentsArriveAsTheyAre) {
    testsupport::TempDir folder;
    const std::string marker = folder.file("marker");
    const auto shell =
        runRedirected({"/bin/sh", "-c", "read line; echo \"out[$line]\"; echo err >&2; exit 7"});
    EXPECT_EQ(7, shell.status);
    EXPECT_EQ("", shell.out);
    EXPECT_EQ("out[]\nerr\n", shell.err);
    const auto printf = runRedirected(
        {"/usr/bin/printf", "%s|", "a b", "$(touch " + marker + ")", "'q'", ";", "*"});
    EXPECT_EQ(0, printf.status);
    EXPECT_EQ("a b|$(touch " + marker + ")|'q'|;|*|", printf.err);
    EXPECT_NE(0, ::access(marker.c_str(), F_OK));
}

TEST(SpawnTest, ReportsSignalsAndProgramsThatCannotRun) {
    EXPECT_EQ(128 + 9, runAndWait({"/bin/sh", "-c", "kill -9 $$"}));
    EXPECT_EQ(-1, runAndWait({"/nonexistent/program"}));
    EXPECT_EQ(-1, runAndWait({}));
    EXPECT_EQ(0, runAndWait({"/bin/true"}));
}

}  // namespace
