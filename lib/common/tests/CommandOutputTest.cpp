#include <gtest/gtest.h>

#include "common/utils/CommandOutput.h"
#include "common/utils/StringConversions.h"
#include "platform/systemprofiler/SystemProfiler.h"
#include "support/ChildProcess.h"

namespace {

TEST(CommandOutputTest, ReturnsTheWholeStandardOutput) {
    EXPECT_EQ("one\ntwo\n", common::runCommand("echo one; echo two; echo hidden >&2"));
    EXPECT_EQ(std::string("a\0b", 3), common::runCommand("printf 'a\\000b'"));
    const std::string large = common::runCommand("head -c 300000 /dev/zero | tr '\\0' 'x'");
    EXPECT_EQ(std::string(300000, 'x'), large);
    EXPECT_EQ("partial\n", common::runCommand("echo partial; exit 3"));
    EXPECT_EQ("", common::runCommand("exit 0"));
}

TEST(CommandOutputTest, OsVersionIsTheSystemsOwnName) {
    const std::string expected = platform::systemprofiler::SystemProfiler::osVersion();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(common::utf8ToWString(expected), common::getOSVersion());
    const std::string prettyName = platform::systemprofiler::SystemProfiler::osReleaseValue(
        testsupport::readFile("/etc/os-release"), "PRETTY_NAME");
    if (!prettyName.empty()) {
        EXPECT_EQ(prettyName, expected);
    }
}

}  // namespace
