#include <gtest/gtest.h>

#include "support/AttributeFolder.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

using testsupport::runCommand;

namespace {

constexpr const char* kTool = PARAMSDUMP_PATH;

TEST(ParamsDumpTest, AttributeOfTheFolderComesBeforeTheCommandLine) {
    testsupport::AttributeFolder bundle;
    if (!bundle.usable()) {
        GTEST_SKIP() << "no file system here keeps user extended attributes";
    }
    ASSERT_TRUE(bundle.set("com.wexo.quandel",
                           R"({"Lang": "de", "Offline": true, "Proxy": {"Port": 8080}})"));
    const auto run =
        runCommand({kTool, bundle.path(), "-Lang", "fr", "-SourcePath", "/Volumes/Pkg", "-Debug"});
    ASSERT_TRUE(run.exited) << run.errors;
    EXPECT_EQ(0, run.exitCode) << run.errors;
    EXPECT_EQ(
        "Param layer Id: 3\n"
        "Lang: de\n"
        "Offline: true\n"
        "Proxy: {\n"
        "    \"Port\": 8080\n"
        "}\n"
        "Param layer Id: 2\n"
        "debug: 1\n"
        "lang: fr\n"
        "sourcepath: /Volumes/Pkg\n",
        run.output);
}

TEST(ParamsDumpTest, FolderWithoutAttributeShowsAnEmptyLayer) {
    testsupport::TempDir bundle;
    const auto run = runCommand({kTool, bundle.path(), "-PrivilegedInstall"});
    ASSERT_TRUE(run.exited) << run.errors;
    EXPECT_EQ(0, run.exitCode) << run.errors;
    EXPECT_EQ("Param layer Id: 3\nParam layer Id: 2\nprivilegedinstall: 1\n", run.output);
}

TEST(ParamsDumpTest, MissingOrUnknownBundleIsAnError) {
    const auto usage = runCommand({kTool});
    ASSERT_TRUE(usage.exited);
    EXPECT_EQ(2, usage.exitCode);
    EXPECT_NE(std::string::npos, usage.errors.find("usage:"));
    EXPECT_TRUE(usage.output.empty());

    const auto unknown = runCommand({kTool, "/nonexistent/Installer.app"});
    ASSERT_TRUE(unknown.exited);
    EXPECT_EQ(1, unknown.exitCode);
    EXPECT_NE(std::string::npos, unknown.errors.find("/nonexistent/Installer.app"));
    EXPECT_TRUE(unknown.output.empty());
}

}  // namespace
