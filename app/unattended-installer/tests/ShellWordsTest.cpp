#include <gtest/gtest.h>

#include "ShellWords.h"

using quorvane::unattended::splitShellWords;
using Words = std::vector<std::string>;

namespace {

Words split(const std::string& text) {
    const auto words = splitShellWords(text);
    EXPECT_TRUE(words.has_value()) << text;
    return words.value_or(Words{});
}

TEST(ShellWordsTest, BlanksSeparateWords) {
    EXPECT_EQ(Words{}, split(""));
    EXPECT_EQ(Words{}, split("  \t\n "));
    EXPECT_EQ((Words{"-a", "1", "-b"}), split("  -a 1\t-b\n"));
}

TEST(ShellWordsTest, QuotesGroupAndJoin) {
    EXPECT_EQ((Words{"a b", "c"}), split("'a b' c"));
    EXPECT_EQ((Words{"a b c"}), split("\"a b\"' c'"));
    EXPECT_EQ((Words{"x\"y", "$HOME", "`id`", "a\\b"}),
              split(R"("x\"y" "\$HOME" "\`id\`" "a\\b")"));
    EXPECT_EQ((Words{"\\n stays"}), split(R"("\n stays")"));
    EXPECT_EQ((Words{"", "e"}), split("'' e"));
    EXPECT_EQ((Words{"it's"}), split(R"("it's")"));
    EXPECT_EQ((Words{"a\\\"b"}), split(R"('a\"b')"));
}

TEST(ShellWordsTest, BackslashOutsideQuotesTakesTheNextCharacter) {
    EXPECT_EQ((Words{"a b", "'", "\""}), split(R"(a\ b \' \")"));
    EXPECT_EQ((Words{"ab"}), split("a\\\nb"));
}

TEST(ShellWordsTest, NothingIsExpanded) {
    EXPECT_EQ((Words{"$(touch", "/tmp/x)", "`id`", "*", "~", ";", "&&", "|", ">f"}),
              split("$(touch /tmp/x) `id` * ~ ; && | >f"));
    EXPECT_EQ((Words{"a;rm -rf /"}), split("'a;rm -rf /'"));
}

TEST(ShellWordsTest, UnterminatedInputFails) {
    EXPECT_FALSE(splitShellWords("'open").has_value());
    EXPECT_FALSE(splitShellWords("\"open").has_value());
    EXPECT_FALSE(splitShellWords("\"escaped\\\"").has_value());
    EXPECT_FALSE(splitShellWords("trailing\\").has_value());
}

}  // namespace
