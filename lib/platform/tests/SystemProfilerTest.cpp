#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <fstream>

#include "platform/systemprofiler/SystemProfiler.h"
#include "support/TempDir.h"

using platform::systemprofiler::SystemProfiler;

namespace {

TEST(SystemProfilerTest, ReadsValuesOfTheOsReleaseFile) {
    const std::string text =
        "NAME=\"Debian GNU/Linux\"\n"
        "PRETTY_NAME_EXTRA=\"wrong\"\n"
        "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm) \\\"x\\\"\"\r\n"
        "ID=debian\n"
        "VARIANT='Server $x'\n";
    EXPECT_EQ("Debian GNU/Linux 12 (bookworm) \"x\"",
              SystemProfiler::osReleaseValue(text, "PRETTY_NAME"));
    EXPECT_EQ("debian", SystemProfiler::osReleaseValue(text, "ID"));
    EXPECT_EQ("Server $x", SystemProfiler::osReleaseValue(text, "VARIANT"));
    EXPECT_EQ("", SystemProfiler::osReleaseValue(text, "VERSION_ID"));
}

TEST(SystemProfilerTest, PrettyNameElseTheKernel) {
    testsupport::TempDir folder;
    std::ofstream(folder.file("os-release")) << "ID=x\nPRETTY_NAME=\"Example OS 3\"\n";
    EXPECT_EQ("Example OS 3", SystemProfiler::osVersion(folder.file("os-release")));

    struct utsname system {};
    ASSERT_EQ(0, ::uname(&system));
    const std::string kernel = std::string(system.sysname) + " " + system.release;
    EXPECT_EQ(kernel, SystemProfiler::osVersion(folder.file("missing")));
    std::ofstream(folder.file("no-name")) << "ID=x\n";
    EXPECT_EQ(kernel, SystemProfiler::osVersion(folder.file("no-name")));
}

}  // namespace
