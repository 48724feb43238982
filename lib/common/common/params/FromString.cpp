#include "common/params/FromString.h"

#include <strings.h>
#include <sstream>

namespace common {

namespace {

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

bool fromString(const std::string& text, bool& value) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && isSpace(text[first])) {
        ++first;
    }
    while (last > first && isSpace(text[last - 1])) {
        --last;
    }
    const std::string word = text.substr(first, last - first);
    if (::strcasecmp(word.c_str(), "true") == 0) {
        value = true;
        return true;
    }
    if (::strcasecmp(word.c_str(), "false") == 0) {
        value = false;
        return true;
    }
    // A stream reads a bool as an integer: 0 false, any other integer true,
    // no integer at all false.
    std::istringstream stream(text);
    value = false;
    stream >> value;
    return true;
}

bool fromString(const std::string& text, std::string& value) {
    value = text;
    return true;
}

}  // namespace common
