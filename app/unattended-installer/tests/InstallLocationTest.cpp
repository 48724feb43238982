// The install folder that the user-started copy hands to its elevated copy,
// and the options it hands over, as the elevated copy reads them back.
#include <gtest/gtest.h>

#include "InstallLocation.h"
#include "ShellWords.h"
#include "common/params/CommandLineParams.h"

using namespace quorvane::unattended;

namespace {

TEST(InstallLocationTest, OnlyPlainFolderNamesAreAccepted) {
    for (const std::string& name :
         std::vector<std::string>{"Product", "Acme Inc.", "-x", "..hidden", "a..b", "...", "",
                                  "caf\xC3\xA9", "$(touch x)", "a\\b"}) {
        EXPECT_TRUE(isPlainFolderName(name)) << name;
    }
    for (const std::string& name :
         std::vector<std::string>{".", "..", "/", "/etc", "a/b", "../x", "x/..", "/Library/x",
                                  std::string("a\0b", 3), std::string(1, '\0')}) {
        EXPECT_FALSE(isPlainFolderName(name)) << name;
    }
}

TEST(InstallLocationTest, TheFolderLiesBelowTheInstallRoot) {
    EXPECT_EQ("/Library/Application Support/WexoQuandelUnattended/Prod/Comp",
              installFolder("Prod", "Comp").string());
    // An empty product adds no folder of its own.
    EXPECT_EQ("/Library/Application Support/WexoQuandelUnattended/Comp",
              installFolder("", "Comp").string());
}

TEST(InstallLocationTest, TheElevatedCopyReadsBackEveryOption) {
    struct Case {
        std::string key;
        std::string installerArguments;
        std::vector<std::string> words;
    };
    const std::string key(64, 'k');
    for (const Case& c : {Case{key,
                               "-server example.org -group 'Front desk'",
                               {"-server example.org -group 'Front desk'"}},
                          Case{"", "-x", {"-x"}}, Case{key, "", {}}}) {
        const auto options = elevatedArguments(
            "/work/download/WexoQuandelUnattended.zip",
            "/Library/Application Support/WexoQuandelUnattended/P/C", c.key, c.installerArguments);
        std::vector<std::string> argv{"/Apps/Setup.app/Contents/MacOS/Installer"};
        argv.insert(argv.end(), options.begin(), options.end());
        const common::CommandLineParams params(argv);
        EXPECT_TRUE(params.hasValue("PrivilegedInstall"));
        EXPECT_EQ("/work/download/WexoQuandelUnattended.zip", params.getValue("SourcePath", "-"));
        EXPECT_EQ("/Library/Application Support/WexoQuandelUnattended/P/C",
                  params.getValue("DestinationPath", "-"));
        EXPECT_EQ(c.key, params.getValue("publickey", "-"));
        // The quotes keep the arguments one value, even when they begin with
        // a dash; the elevated copy's word splitting takes them off again.
        const std::string arguments = params.getValue("UnattendedInstallerArgs", "-");
        EXPECT_EQ(c.installerArguments.empty() ? "" : "\"" + c.installerArguments + "\"",
                  arguments);
        const auto words = splitShellWords(arguments);
        ASSERT_TRUE(words.has_value());
        EXPECT_EQ(c.words, *words);
    }
}

}  // namespace
