#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorvane::unattended {

// Splits a text into words by the shell's quoting rules, with no expansion
// of any kind: blanks (space, tab, line feed) separate words; single quotes
// keep everything up to the next single quote literally; double quotes keep
// their content except that a backslash escapes '"', '\', '$' and '`';
// outside quotes a backslash takes the next character literally (and a
// backslash before a line feed joins the lines). An unterminated quote or a
// trailing backslash gives no result.
std::optional<std::vector<std::string>> splitShellWords(const std::string& text);

}  // namespace quorvane::unattended
