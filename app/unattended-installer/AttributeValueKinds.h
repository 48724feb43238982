#pragma once

#include <map>
#include <string>

namespace quorvane::unattended {

enum class ValueKind { text, integer, other };

// The kind of each member of the JSON object in the bundle's attribute
// `attributeName`, read again from the attribute: the parameter store gives
// every value as text, and a folder name or an argument list must not be
// made from an object or an array. Empty when the attribute is missing or
// is not a JSON object.
std::map<std::string, ValueKind> attributeValueKinds(const std::string& attributeName);

}  // namespace quorvane::unattended
