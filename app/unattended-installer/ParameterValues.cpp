#include "ParameterValues.h"

#include <algorithm>
#include <charconv>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

namespace quorvane::unattended {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::optional<bool> booleanValue(const std::string& text) {
    const std::string word = boost::algorithm::trim_copy(text);
    if (boost::algorithm::iequals(word, "true")) {
        return true;
    }
    if (boost::algorithm::iequals(word, "false")) {
        return false;
    }
    // from_chars takes a "-" but no "+".
    const char* begin = word.data() + (word.size() > 1 && word[0] == '+' && isDigit(word[1]));
    const char* end = word.data() + word.size();
    long long number = 0;
    const auto [stop, error] = std::from_chars(begin, end, number);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return number != 0;
}

std::optional<bool> booleanParameter(const common::IParams& params, const std::string& key,
                                     bool absent) {
    return params.hasValue(key) ? booleanValue(params.getValue(key, "")) : absent;
}

long long clampedWholeNumber(const std::string& text, long long least, long long most,
                             long long fallback) {
    std::size_t at = std::min(text.find_first_not_of(" \t\n\v\f\r"), text.size());
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    if (at == text.size() || !isDigit(text[at])) {
        return fallback;
    }
    // Held at 10^17 once past it, beyond any bound the parameters use:
    // more digits only make the number larger.
    constexpr long long kHeld = 100'000'000'000'000'000;
    long long magnitude = 0;
    for (; at < text.size() && isDigit(text[at]); ++at) {
        magnitude = std::min(magnitude * 10 + (text[at] - '0'), kHeld);
    }
    return std::clamp(negative ? -magnitude : magnitude, least, most);
}

}  // namespace quorvane::unattended
