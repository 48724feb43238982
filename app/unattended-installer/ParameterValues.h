#pragma once

#include <optional>
#include <string>

#include "common/params/IParams.h"

// The run's parameter texts read as typed values, as the README's table of
// parameters says: what is not such a value is told apart from one that is.
namespace quorvane::unattended {

// A boolean: "true" or "false" in any case, or a whole number of the 64-bit
// range (0 false, any other true), with white space around it allowed. None
// for any other text ("1.5", "1abc", "yes", a number past the range).
std::optional<bool> booleanValue(const std::string& text);

// `key` of `params` read by booleanValue; `absent` when it has no value.
std::optional<bool> booleanParameter(const common::IParams& params, const std::string& key,
                                     bool absent);

// The whole number that `text` begins with (after white space, with an
// optional sign), brought into [least, most] (bounds within ±10^17) however
// many digits it has; `fallback` when the text does not begin with one.
long long clampedWholeNumber(const std::string& text, long long least, long long most,
                             long long fallback);

}  // namespace quorvane::unattended
