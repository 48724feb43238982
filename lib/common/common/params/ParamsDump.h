#pragma once

#include <string>

namespace common {

class IParams;

// The dump of a single layer: for each key, in sorted order, the key, ": ",
// the layer's value and a line break.
std::string dumpParams(const IParams& layer);

}  // namespace common
