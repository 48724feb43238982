#pragma once

#include <string>
#include <string_view>

namespace common {

// The character put in place of every byte sequence that is not UTF-8 and of
// every wide character that is not a Unicode scalar value.
inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// UTF-8 text to wide text holding one code point per wide character (UTF-32).
// Invalid input does not fail: each maximal invalid subsequence becomes one
// U+FFFD. A leading byte-order mark stays in the text.
std::wstring utf8ToWString(std::string_view text);

// Wide text (UTF-32) to UTF-8. Surrogates and values above U+10FFFF become
// U+FFFD.
std::string wstringToUtf8(std::wstring_view text);

}  // namespace common
