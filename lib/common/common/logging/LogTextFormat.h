#pragma once

#include <cstdarg>
#include <cstddef>

namespace common {

// Formats a printf-style text into `buffer` of `size` bytes (at least 1) as
// vsnprintf does, and returns the length of the text up to its first zero;
// longer output is cut to size - 1 bytes. Wide text ("%S", "%ls", "%C",
// "%lc", UTF-32) is written as UTF-8 whatever the process's locale, a
// character that is no Unicode scalar value as U+FFFD, so that no path is
// lost in a log line. When the arguments cannot be formatted, the buffer
// holds the format itself, cut the same way.
//
// The format is taken conversion by conversion: "%s", "%d", "%i", "%u" with
// no flags, width or precision and wide text are written directly, every
// other conversion through snprintf with its one argument. Only formats with
// widths or precisions taken from the arguments ("*"), numbered arguments
// ("$") or conversions that the C library alone knows go through vsnprintf
// whole.
std::size_t formatLogText(char* buffer, std::size_t size, const char* format, va_list args);

}  // namespace common
