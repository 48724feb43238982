#pragma once

#include <string>

namespace platform::appkit {

// Windows and alerts are drawn as text on standard error, one line per change.

// Writes `line` and a line feed to standard error in one piece.
void drawLine(const std::string& line);

// `text` between double quotes; a double quote and a backslash inside are
// preceded by a backslash, and line breaks are written as "\n" and "\r", so
// that every drawing stays on one line.
std::string quoted(const std::string& text);

// A control's number: whole numbers without a fraction ("4"), others as
// printf's "%g" writes them.
std::string formatNumber(double value);

}  // namespace platform::appkit
