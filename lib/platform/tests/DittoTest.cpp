#include <gtest/gtest.h>

#include <sys/stat.h>

#include <boost/filesystem.hpp>

#include "platform/tools/Ditto.h"
#include "support/ChildProcess.h"
#include "support/ProcessState.h"
#include "support/TempDir.h"

namespace fs = boost::filesystem;
using platform::tools::dittoExtractZip;

namespace {

// Makes a zip with an executable script and a plain file, with Python's
// zipfile so that the archive records Unix modes.
void makeArchive(const std::string& path, const std::string& content) {
    const std::string script =
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
        "    i = zipfile.ZipInfo('dir/tool'); i.external_attr = 0o100755 << 16\n"
        "    z.writestr(i, '#!/bin/sh\\n')\n"
        "    j = zipfile.ZipInfo('data.txt'); j.external_attr = 0o100644 << 16\n"
        "    z.writestr(j, sys.argv[2])\n";
    const auto result = testsupport::runCommand({"/usr/bin/python3", "-c", script, path, content});
    ASSERT_EQ(0, result.exitCode) << result.errors;
}

TEST(DittoTest, UnpacksKeepingModesAndOverwriting) {
    testsupport::TempDir folder;
    const std::string archive = folder.file("a.zip");
    const std::string target = folder.file("target dir");
    makeArchive(archive, "new");
    fs::create_directories(target);
    {
        std::FILE* old = std::fopen((target + "/data.txt").c_str(), "w");
        std::fputs("old content", old);
        std::fclose(old);
    }
    ASSERT_EQ(0, dittoExtractZip(archive, target));
    EXPECT_EQ("new", testsupport::readFile(target + "/data.txt"));
    struct stat info {};
    ASSERT_EQ(0, ::stat((target + "/dir/tool").c_str(), &info));
    EXPECT_EQ(0755u, info.st_mode & 0777u);
}

TEST(DittoTest, FailsOnBadInput) {
    testsupport::TempDir folder;
    EXPECT_NE(0, dittoExtractZip(folder.file("missing.zip"), folder.file("t")));
    {
        std::FILE* junk = std::fopen(folder.file("junk.zip").c_str(), "w");
        std::fputs("not a zip", junk);
        std::fclose(junk);
    }
    EXPECT_NE(0, dittoExtractZip(folder.file("junk.zip"), folder.file("t")));
    EXPECT_NE(0, dittoExtractZip("", folder.file("t")));
    EXPECT_NE(0, dittoExtractZip(folder.file("junk.zip"), ""));
}

TEST(DittoTest, OddNamesAreNotTakenForOptions) {
    testsupport::TempDir folder;
    const std::string archive = folder.file("-o.zip");
    makeArchive(archive, "x");
    testsupport::ScopedCurrentDirectory back;
    ASSERT_EQ(0, ::chdir(folder.path().c_str()));
    EXPECT_EQ(0, dittoExtractZip("-o.zip", "-dest"));
    EXPECT_EQ("x", testsupport::readFile(folder.file("-dest/data.txt")));
}

TEST(DittoTest, MissingToolIsReported) {
    testsupport::TempDir folder;
    const std::string archive = folder.file("a.zip");
    makeArchive(archive, "x");
    platform::tools::setUnzipProgram("/nonexistent/unzip");
    EXPECT_EQ(-1, dittoExtractZip(archive, folder.file("t")));
    platform::tools::setUnzipProgram("/usr/bin/unzip");
}

}  // namespace
