#pragma once

#include <cstdarg>
#include <cstddef>

namespace common {

// Formats a printf-style text into `buffer` of `size` bytes (at least 1) as
// vsnprintf does with "%S" and "%C" converting from UTF-32, and returns the
// length of the text up to its first zero; longer output is cut to size - 1
// characters. When the arguments cannot be formatted, the buffer holds the
// format itself, cut the same way.
//
// Formats made only of text, "%%", and "%s", "%d", "%i", "%u" with no flags,
// width or precision (optionally with the length "l", "ll" or "z") are
// written directly; every other format goes through vsnprintf.
std::size_t formatLogText(char* buffer, std::size_t size, const char* format, va_list args);

}  // namespace common
