#include <gtest/gtest.h>

#include <cstdlib>

#include "common/utils/Arguments.h"
#include "common/utils/PreferredLanguage.h"
#include "support/ProcessState.h"

namespace {

// Each row sets the locale variables given (the others unset) and names the
// language chosen.
TEST(PreferredLanguageTest, SupportedLanguageOrItsFirstTwoLettersElseEnglish) {
    const char* names[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    testsupport::ScopedEnvironment environment({names[0], names[1], names[2], names[3]});
    const struct {
        const char* values[4];  // LANGUAGE, LC_ALL, LC_MESSAGES, LANG
        const char* chosen;
    } rows[] = {
        {{}, "en"},
        {{nullptr, nullptr, nullptr, "fr_CA.UTF-8"}, "fr"},
        {{nullptr, nullptr, nullptr, "DE"}, "de"},
        {{nullptr, nullptr, nullptr, "ja_JP.UTF-8"}, "en"},
        {{nullptr, nullptr, nullptr, "es_MX.UTF-8@euro"}, "es"},
        {{nullptr, nullptr, nullptr, "C.UTF-8"}, "en"},
        {{nullptr, nullptr, nullptr, "pt_PT.UTF-8"}, "en"},
        {{nullptr, nullptr, nullptr, "PT-br"}, "pt-BR"},
        {{"pt_BR:fr", nullptr, nullptr, nullptr}, "pt-BR"},
        {{nullptr, nullptr, "it_IT.UTF-8", "de_DE.UTF-8"}, "it"},
        {{"", "es_ES.UTF-8", "it_IT.UTF-8", "de_DE.UTF-8"}, "es"},
        {{"fr_FR:de", "es_ES.UTF-8", nullptr, nullptr}, "fr"},
        {{"ja:de", nullptr, nullptr, nullptr}, "en"},
    };
    for (const auto& row : rows) {
        std::string shown;
        for (int i = 0; i < 4; ++i) {
            row.values[i] ? ::setenv(names[i], row.values[i], 1) : ::unsetenv(names[i]);
            shown += std::string(names[i]) + "=" + (row.values[i] ? row.values[i] : "-") + " ";
        }
        EXPECT_EQ(row.chosen, common::getPreferredLanguage()) << shown;
    }
}

TEST(ArgumentsTest, OneStringPerEntryProgramFirst) {
    char program[] = "/Applications/Tool.app/Contents/MacOS/Tool";
    char flag[] = "-PrivilegedInstall";
    char empty[] = "";
    char* argv[] = {program, flag, empty, nullptr};
    EXPECT_EQ((std::vector<std::string>{program, flag, ""}), common::argsFromArgv(3, argv));
    EXPECT_TRUE(common::argsFromArgv(0, argv).empty());
    EXPECT_TRUE(common::argsFromArgv(-1, argv).empty());
    EXPECT_TRUE(common::argsFromArgv(3, nullptr).empty());
    EXPECT_EQ((std::vector<std::string>{program, flag, ""}), common::argsFromArgv(9, argv))
        << "the list ends at its null entry";
}

}  // namespace
