#pragma once

#include <map>
#include <optional>
#include <string>
#include <variant>

namespace platform::corefoundation {

// A value of a property list as the system hands it out: a number, a flag or
// a text. Containers hold these; nested containers are not needed here.
using Scalar = std::variant<long long, double, bool, std::string>;

// A dictionary of property-list values by key.
using Dictionary = std::map<std::string, Scalar>;

// The text under `key`; nothing when the key is missing or holds no text.
std::optional<std::string> stringValue(const Dictionary& dictionary, const std::string& key);

// The number under `key` as an integer (a fractional number is cut towards
// zero); nothing when the key is missing or holds no number.
std::optional<long long> integerValue(const Dictionary& dictionary, const std::string& key);

}  // namespace platform::corefoundation
