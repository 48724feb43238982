#include <gtest/gtest.h>

#include "common/params/CommandLineParams.h"

using common::CommandLineParams;
using common::IParams;

namespace {

using Options = std::map<std::string, std::string>;

CommandLineParams parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "/Applications/Installer.app/Contents/MacOS/Installer");
    return CommandLineParams(arguments);
}

Options optionsOf(const CommandLineParams& params) {
    Options options;
    for (const auto& key : params.keys()) {
        options[key] = params.getValue(key, "<none>");
    }
    return options;
}

// The options that each command line gives (lower-case names; a flag is "1").
TEST(CommandLineParamsTest, OptionsOfCommandLines) {
    const std::pair<std::vector<std::string>, Options> lines[] = {
        {{"-Lang", "fr", "-Offline"}, {{"lang", "fr"}, {"offline", "1"}}},
        {{"-a", "-b", "x"}, {{"a", "1"}, {"b", "x"}}},
        {{"-n", "-5"}, {{"n", "1"}, {"5", "1"}}},  // a value may not look like an option
        {{"-n", "-"}, {{"n", "-"}}},               // except a lone dash
        {{"-Label", "", "-x"}, {{"label", ""}, {"x", "1"}}},
        {{"-SourcePath", "/Volumes/My Pkg/A.pkg"}, {{"sourcepath", "/Volumes/My Pkg/A.pkg"}}},
        {{"free", "-k", "v", "loose"}, {{"k", "v"}}},
        {{"-", "x"}, {}},
        {{""}, {}},
        {{}, {}},
        {{"--Name", "v"}, {{"-name", "v"}}},     // only one dash is removed
        {{"-k", "v", "-K", "w"}, {{"k", "w"}}},  // the later occurrence wins
        {{"-K", "v", "-k"}, {{"k", "1"}}},
    };
    for (const auto& [arguments, options] : lines) {
        EXPECT_EQ(options, optionsOf(parse(arguments))) << ::testing::PrintToString(arguments);
    }
    const auto params = parse({"-Lang", "fr", "-Label", ""});
    EXPECT_EQ("fr", params.getValue("LANG", "en"));
    EXPECT_TRUE(params.hasValue("LaBeL"));
    EXPECT_FALSE(params.hasValue("Missing"));
    EXPECT_TRUE(optionsOf(CommandLineParams({})).empty());
    EXPECT_TRUE(optionsOf(CommandLineParams({"-program", "x"})).empty()) << "the program path";
}

TEST(CommandLineParamsTest, RemovableButNotSettable) {
    auto params = parse({"-Lang", "fr", "-PrivilegedInstall"});
    EXPECT_EQ(IParams::Removable, params.accessLevel());
    EXPECT_FALSE(params.setValue("Lang", "de", false));
    EXPECT_FALSE(params.setValue("New", "x", false));
    EXPECT_EQ("fr", params.getValue("Lang", ""));
    EXPECT_FALSE(params.hasValue("New"));

    EXPECT_TRUE(params.removeValue("Lang"));
    EXPECT_FALSE(params.hasValue("lang"));
    EXPECT_TRUE(params.removeValue("Lang"));  // nothing left to remove: still true
    EXPECT_EQ((Options{{"privilegedinstall", "1"}}), optionsOf(params));
}

TEST(CommandLineParamsTest, DumpListsOptionsSorted) {
    const auto params =
        parse({"-UnattendedInstallerArgs", "a b", "-DestinationPath", "/Applications", "-z"});
    EXPECT_EQ("destinationpath: /Applications\nunattendedinstallerargs: a b\nz: 1\n",
              params.dump());
    EXPECT_EQ("", parse({}).dump());
}

}  // namespace
