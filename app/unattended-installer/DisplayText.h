#pragma once

#include <string>

namespace quorvane::unattended {

// A wide text from the message table as the window shows it (UTF-8). Each
// wide character is one code point; a high surrogate followed by a low one
// (text kept in UTF-16 units) is joined into the one character they encode,
// so that characters beyond the Basic Multilingual Plane arrive whole either
// way. Anything else that is not a character becomes U+FFFD.
std::string toDisplayText(const std::wstring& text);

}  // namespace quorvane::unattended
