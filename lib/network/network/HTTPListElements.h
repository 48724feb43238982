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

// Whether `c` may be part of a token (RFC 9110 section 5.6.2).
inline bool IsHTTPTokenChar(char c) {
    constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           kSymbols.find(c) != std::string_view::npos;
}

// Calls `take` with every non-empty, trimmed element of a comma-separated
// list whose elements may hold quoted strings (RFC 9110 section 5.6.4): a
// comma inside quotes, also after a backslash escape, splits nothing. The
// elements are views into `list`.
template <typename Take>
void ForEachQuotingListElement(std::string_view list, Take&& take) {
    const auto element = [&](std::string_view text) {
        text = TrimmedHTTPBlanks(text);
        if (!text.empty()) {
            take(text);
        }
    };
    std::size_t start = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const char c = list[i];
        if (quoted) {
            if (c == '\\') {
                ++i;  // the escaped character
            } else if (c == '"') {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            element(list.substr(start, i - start));
            start = i + 1;
        }
    }
    element(list.substr(start));
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
