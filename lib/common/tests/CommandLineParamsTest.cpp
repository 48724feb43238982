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

TEST(CommandLineParamsTest, OptionsWithValuesAndFlags) {
    const auto params = parse({"-Lang", "fr", "-Offline"});
    EXPECT_EQ((Options{{"lang", "fr"}, {"offline", "1"}}), optionsOf(params));
    EXPECT_EQ("fr", params.getValue("LANG", "en"));
    EXPECT_EQ("fr", params.getValue("lang", "en"));
    EXPECT_TRUE(params.hasValue("OffLine"));
    EXPECT_EQ("en", params.getValue("Missing", "en"));
    EXPECT_FALSE(params.hasValue("Missing"));

    EXPECT_EQ((Options{{"a", "1"}, {"b", "x"}}), optionsOf(parse({"-a", "-b", "x"})));
    EXPECT_EQ((Options{{"k", "1"}}), optionsOf(parse({"-k"})));
}

TEST(CommandLineParamsTest, WhatCountsAsAValue) {
    // A value may not look like an option, except a lone dash.
    EXPECT_EQ((Options{{"n", "1"}, {"5", "1"}}), optionsOf(parse({"-n", "-5"})));
    EXPECT_EQ((Options{{"n", "-"}}), optionsOf(parse({"-n", "-"})));
    // An empty argument is an empty value, kept.
    const auto empty = parse({"-Label", "", "-x"});
    EXPECT_EQ((Options{{"label", ""}, {"x", "1"}}), optionsOf(empty));
    EXPECT_TRUE(empty.hasValue("Label"));
    // Values keep their case and their characters.
    EXPECT_EQ((Options{{"sourcepath", "/Volumes/My Pkg/A.pkg"}}),
              optionsOf(parse({"-SourcePath", "/Volumes/My Pkg/A.pkg"})));
}

TEST(CommandLineParamsTest, WhatIsSkipped) {
    EXPECT_EQ((Options{{"k", "v"}}), optionsOf(parse({"free", "-k", "v", "loose"})));
    EXPECT_TRUE(optionsOf(parse({"-", "x"})).empty());
    EXPECT_TRUE(optionsOf(parse({""})).empty());
    EXPECT_TRUE(optionsOf(parse({})).empty());
    EXPECT_TRUE(optionsOf(CommandLineParams({})).empty());
    // The program path is never an option.
    EXPECT_TRUE(optionsOf(CommandLineParams({"-program", "x"})).empty());
    // Only one dash is removed.
    EXPECT_EQ((Options{{"-name", "v"}}), optionsOf(parse({"--Name", "v"})));
}

TEST(CommandLineParamsTest, LaterOccurrenceWinsWhateverItsCase) {
    EXPECT_EQ((Options{{"k", "w"}}), optionsOf(parse({"-k", "v", "-K", "w"})));
    EXPECT_EQ((Options{{"k", "1"}}), optionsOf(parse({"-K", "v", "-k"})));
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
