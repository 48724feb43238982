#pragma once

#include <string>

// UTF-8 to wide text (one code point per character) and back; malformed
// sequences are skipped.
std::wstring wideFromUtf8(const std::string& text);
std::string utf8FromWide(const std::wstring& text);
