#pragma once

#include <cctype>
#include <charconv>
#include <cstddef>
#include <string>
#include <type_traits>

namespace common {

// Reading parameter texts as typed values. Each form returns false when the
// text is no value of the type, leaving `value` unspecified.

// Any text gives a bool: "true" and "false" in any case (white space around
// allowed); otherwise the text is read as an integer after optional white
// space, trailing text ignored: 0 is false, every other integer true, and
// text that does not begin with an integer false.
bool fromString(const std::string& text, bool& value);

// The text unchanged.
bool fromString(const std::string& text, std::string& value);

// An integer after optional white space and an optional "+", trailing text
// ignored; false when there is none or it is out of the type's range (a
// negative number is out of an unsigned type's range).
template <typename T>
requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) bool fromString(const std::string& text,
                                                                            T& value) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    if (at < text.size() && text[at] == '+') {
        ++at;
        if (at < text.size() && text[at] == '-') {
            return false;
        }
    }
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data() + at, end, value);
    return result.ec == std::errc();
}

}  // namespace common
