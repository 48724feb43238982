#include "platform/corefoundation/PropertyList.h"

#include <cmath>
#include <limits>

namespace platform::corefoundation {

std::optional<std::string> stringValue(const Dictionary& dictionary, const std::string& key) {
    const auto found = dictionary.find(key);
    if (found == dictionary.end()) {
        return std::nullopt;
    }
    if (const auto* text = std::get_if<std::string>(&found->second)) {
        return *text;
    }
    return std::nullopt;
}

std::optional<long long> integerValue(const Dictionary& dictionary, const std::string& key) {
    const auto found = dictionary.find(key);
    if (found == dictionary.end()) {
        return std::nullopt;
    }
    if (const auto* integer = std::get_if<long long>(&found->second)) {
        return *integer;
    }
    if (const auto* real = std::get_if<double>(&found->second)) {
        // Out-of-range and non-finite numbers cannot be read as integers.
        if (!std::isfinite(*real) ||
            std::fabs(*real) >= static_cast<double>(std::numeric_limits<long long>::max())) {
            return std::nullopt;
        }
        return static_cast<long long>(*real);
    }
    return std::nullopt;
}

}  // namespace platform::corefoundation
