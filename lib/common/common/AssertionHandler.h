#pragma once

namespace common {

// Writes one error record on the channel "assert" describing a failed
// assertion and returns: execution goes on after a failed assertion.
// `message` may be null.
void assertionFailed(const char* expression, const char* message, const char* function,
                     const char* file, long line);

}  // namespace common
