#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "common/utils/Arguments.h"
#include "common/utils/PreferredLanguage.h"

namespace {

constexpr const char* kVariables[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

// Clears the locale variables for each case and puts them back afterwards.
class PreferredLanguageTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : kVariables) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
            ::unsetenv(name);
        }
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

    std::string preferredWith(const char* name, const char* value) {
        for (const char* variable : kVariables) {
            ::unsetenv(variable);
        }
        ::setenv(name, value, 1);
        return common::getPreferredLanguage();
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(PreferredLanguageTest, SupportedLanguageOrItsFirstTwoLettersElseEnglish) {
    EXPECT_EQ("en", common::getPreferredLanguage()) << "no preference at all";
    EXPECT_EQ("fr", preferredWith("LANG", "fr_CA.UTF-8"));
    EXPECT_EQ("de", preferredWith("LANG", "DE"));
    EXPECT_EQ("en", preferredWith("LANG", "ja_JP.UTF-8"));
    EXPECT_EQ("it", preferredWith("LANG", "it"));
    EXPECT_EQ("es", preferredWith("LANG", "es_MX.UTF-8@euro"));
    EXPECT_EQ("en", preferredWith("LANG", "C"));
    EXPECT_EQ("en", preferredWith("LANG", "POSIX"));
    EXPECT_EQ("en", preferredWith("LANG", "C.UTF-8"));
    EXPECT_EQ("en", preferredWith("LANG", "pt_PT.UTF-8")) << "only Brazilian Portuguese is offered";
}

TEST_F(PreferredLanguageTest, BrazilianPortugueseIsFoundInAnyCase) {
    EXPECT_EQ("pt-BR", preferredWith("LANG", "pt_BR.UTF-8"));
    EXPECT_EQ("pt-BR", preferredWith("LANG", "PT-br"));
    EXPECT_EQ("pt-BR", preferredWith("LANGUAGE", "pt_BR:fr"));
}

TEST_F(PreferredLanguageTest, FirstVariableSetDecides) {
    ::setenv("LANG", "de_DE.UTF-8", 1);
    ::setenv("LC_MESSAGES", "it_IT.UTF-8", 1);
    EXPECT_EQ("it", common::getPreferredLanguage());
    ::setenv("LC_ALL", "es_ES.UTF-8", 1);
    EXPECT_EQ("es", common::getPreferredLanguage());
    ::setenv("LANGUAGE", "", 1);
    EXPECT_EQ("es", common::getPreferredLanguage()) << "an empty variable does not count";
    ::setenv("LANGUAGE", "fr_FR:de", 1);
    EXPECT_EQ("fr", common::getPreferredLanguage());
    ::setenv("LANGUAGE", "ja:de", 1);
    EXPECT_EQ("en", common::getPreferredLanguage()) << "only the first preference is used";
}

TEST(ArgumentsTest, OneStringPerEntryProgramFirst) {
    char program[] = "/Applications/Tool.app/Contents/MacOS/Tool";
    char flag[] = "-PrivilegedInstall";
    char empty[] = "";
    char* argv[] = {program, flag, empty, nullptr};
    EXPECT_EQ((std::vector<std::string>{program, flag, ""}), common::argsFromArgv(3, argv));
    EXPECT_EQ((std::vector<std::string>{program}), common::argsFromArgv(1, argv));
    EXPECT_TRUE(common::argsFromArgv(0, argv).empty());
    EXPECT_TRUE(common::argsFromArgv(-1, argv).empty());
    EXPECT_TRUE(common::argsFromArgv(3, nullptr).empty());
    EXPECT_EQ((std::vector<std::string>{program, flag, ""}), common::argsFromArgv(9, argv))
        << "the list ends at its null entry";
}

}  // namespace
