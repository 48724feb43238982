#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/foundation/Locale.h"
#include "support/ProcessState.h"

using platform::foundation::Locale;

namespace {

TEST(LocaleTest, LanguageCodesOfLocaleNames) {
    EXPECT_EQ("pt-BR", Locale::languageCodeOfLocale("pt_BR.UTF-8"));
    EXPECT_EQ("de-AT", Locale::languageCodeOfLocale("de_AT.UTF-8@euro"));
    EXPECT_EQ("ca-ES", Locale::languageCodeOfLocale("ca_ES@valencia"));
    EXPECT_EQ("fr", Locale::languageCodeOfLocale("fr"));
    EXPECT_EQ("", Locale::languageCodeOfLocale("C"));
    EXPECT_EQ("", Locale::languageCodeOfLocale("C.UTF-8"));
    EXPECT_EQ("", Locale::languageCodeOfLocale("POSIX"));
    EXPECT_EQ("", Locale::languageCodeOfLocale(""));
}

TEST(LocaleTest, PreferredLanguagesFromTheFirstVariableSet) {
    testsupport::ScopedEnvironment environment({"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"});
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        ::unsetenv(name);
    }
    EXPECT_TRUE(Locale::preferredLanguages().empty());
    ::setenv("LANG", "C", 1);
    EXPECT_TRUE(Locale::preferredLanguages().empty());
    ::setenv("LANG", "de_DE.UTF-8", 1);
    EXPECT_EQ((std::vector<std::string>{"de-DE"}), Locale::preferredLanguages());
    ::setenv("LANGUAGE", "fr_CA:C::en", 1);
    EXPECT_EQ((std::vector<std::string>{"fr-CA", "en"}), Locale::preferredLanguages());
}

}  // namespace
