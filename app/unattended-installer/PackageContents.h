#pragma once

#include <cstdint>
#include <string>

namespace quorvane::unattended {

// Why the zip package read from `fd` cannot be unpacked within the bounds,
// judged by what its central directory declares (the number of entries and
// the sum of their unpacked sizes) without unpacking anything; empty when it
// can. Reading stops at the first bound passed; the descriptor's offset is
// left where it was.
std::string packageContentProblem(int fd, std::uint64_t maxBytes, std::uint64_t maxEntries);

}  // namespace quorvane::unattended
