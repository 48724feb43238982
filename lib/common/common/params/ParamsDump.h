#pragma once

#include <string>

namespace common {

class IParams;

// The dump of a single layer: for each key, in sorted order, the key, ": ",
// the layer's value and a line break. Backslashes and control characters in
// keys and values are escapes (\\, \n, \r, \t, \x1b, \u009b), so that each
// parameter is one line of plain text.
std::string dumpParams(const IParams& layer);

}  // namespace common
