#pragma once

#include <string>
#include <vector>

namespace common {

// One string per entry argv[0] to argv[argc - 1], the program's own path
// first; empty when argc is not positive or argv is null. A null entry ends
// the list early.
std::vector<std::string> argsFromArgv(int argc, char** argv);

}  // namespace common
