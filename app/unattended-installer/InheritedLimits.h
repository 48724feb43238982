#pragma once

#include <string>
#include <vector>

namespace quorvane::unattended {

// The resource limits the elevated copy inherits from whoever started it,
// which would otherwise end or cut its install at a point of their choice:
// the size of a file (SIGXFSZ, or a write that fails), processor time
// (SIGXCPU), memory (an allocation that fails), the stack, open files. Run
// as root, it lifts them: the soft and hard limits of the first four to
// unlimited, the stack's and the open files' to at least their usual 8 MiB
// and 1024; where the hard limit cannot be raised (root without the right
// to), the soft one goes up to it. The core file size and the others stay
// as they are. Returns a line for each limit below what is wanted ("inherited
// limit lifted: file size 4096 -> unlimited", or "inherited limit kept: ..."
// with the reason); nothing when not run as root.
std::vector<std::string> liftInheritedLimits();

}  // namespace quorvane::unattended
