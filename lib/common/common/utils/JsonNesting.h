#pragma once

#include <cstddef>
#include <string_view>

namespace common {

// How deep JSON text from outside (a bundle attribute, a parameter file, a
// log message) may nest its objects and arrays. Deeper text is refused before
// it reaches the parser, whose work and stack grow with the depth.
inline constexpr std::size_t kMaxJsonNesting = 64;

// Whether `text`, read as JSON, opens more than `limit` objects and arrays
// inside one another. One linear pass; brackets inside strings do not count.
bool jsonNestsDeeperThan(std::string_view text, std::size_t limit = kMaxJsonNesting);

}  // namespace common
