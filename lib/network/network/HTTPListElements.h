#pragma once

#include <string_view>

namespace network {

// Whether `c` is a blank of an HTTP field value: a space or a tab.
inline bool IsHTTPBlank(char c) {
    return c == ' ' || c == '\t';
}

// `text` without the blanks at either end.
inline std::string_view TrimmedHTTPBlanks(std::string_view text) {
    while (!text.empty() && IsHTTPBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsHTTPBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Calls `take` with every non-empty, trimmed element of a comma-separated
// list (RFC 9110 section 5.6.1: empty elements are skipped).
template <typename Take>
void ForEachListElement(std::string_view list, Take&& take) {
    while (true) {
        const auto comma = list.find(',');
        const auto element = TrimmedHTTPBlanks(list.substr(0, comma));
        if (!element.empty()) {
            take(element);
        }
        if (comma == std::string_view::npos) {
            return;
        }
        list.remove_prefix(comma + 1);
    }
}

}  // namespace network
