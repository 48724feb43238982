#include "WideStrings.h"

#include <boost/locale/encoding_utf.hpp>

std::wstring wideFromUtf8(const std::string& text) {
    return boost::locale::conv::utf_to_utf<wchar_t>(text);
}

std::string utf8FromWide(const std::wstring& text) {
    return boost::locale::conv::utf_to_utf<char>(text);
}
