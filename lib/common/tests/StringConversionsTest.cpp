#include <gtest/gtest.h>

#include "common/utils/StringConversions.h"

namespace {

using common::utf8ToWString;
using common::wstringToUtf8;

TEST(StringConversionsTest, OneCodePointPerWideCharacter) {
    // "A", e acute, euro sign, G clef (beyond the BMP).
    const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E";
    const std::wstring wide = utf8ToWString(text);
    ASSERT_EQ(4u, wide.size());
    EXPECT_EQ(L'A', wide[0]);
    EXPECT_EQ(0xE9, wide[1]);
    EXPECT_EQ(0x20AC, wide[2]);
    EXPECT_EQ(0x1D11E, wide[3]);
    EXPECT_EQ(text, wstringToUtf8(wide));
    EXPECT_EQ(std::wstring(), utf8ToWString(""));
    EXPECT_EQ(std::string(), wstringToUtf8(L""));
    // The largest code point and a leading byte-order mark survive.
    EXPECT_EQ(std::wstring(1, static_cast<wchar_t>(0x10FFFF)), utf8ToWString("\xF4\x8F\xBF\xBF"));
    EXPECT_EQ((std::wstring{static_cast<wchar_t>(0xFEFF), L'x'}), utf8ToWString("\xEF\xBB\xBFx"));
    // An embedded NUL is a character like any other.
    EXPECT_EQ(std::wstring(L"a\0b", 3), utf8ToWString(std::string("a\0b", 3)));
}

TEST(StringConversionsTest, InvalidUtf8BecomesReplacementCharacters) {
    const wchar_t r = static_cast<wchar_t>(common::kReplacementCharacter);
    struct Case {
        std::string input;
        std::wstring expected;
    };
    const Case cases[] = {
        {"\xFF", {r}},                              // never a UTF-8 byte
        {"a\x80z", {L'a', r, L'z'}},                // lone continuation byte
        {"\xC0\xAF", {r, r}},                       // overlong "/"
        {"\xE0\x80\xAF", {r, r, r}},                // overlong three-byte form
        {"\xED\xA0\x80", {r, r, r}},                // an encoded surrogate
        {"\xF4\x90\x80\x80", {r, r, r, r}},         // above U+10FFFF
        {"\xE2\x82", {r}},                          // truncated at the end
        {"\xE2\x82z", {r, L'z'}},                   // truncated before another character
        {"\xF0\x9D\x84", {r}},                      // truncated four-byte form
        {"\xF8\x88\x80\x80\x80", {r, r, r, r, r}},  // five-byte form
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, utf8ToWString(c.input)) << testing::PrintToString(c.input);
    }
}

TEST(StringConversionsTest, WideValuesOutsideUnicodeBecomeReplacementCharacters) {
    const std::wstring wide = {L'a', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000),
                               static_cast<wchar_t>(-1), L'b'};
    EXPECT_EQ(
        "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
        "b",
        wstringToUtf8(wide));
}

}  // namespace
