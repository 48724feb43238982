#pragma once

#include <string>
#include <vector>

namespace platform::posix {

// Runs a program with an argument vector (argv[0] is the program's path; no
// shell is involved) and waits for it. Its standard input is /dev/null and
// its standard output goes to our standard error, so that nothing it prints
// can be taken for our own output. Returns the program's exit status, 128 plus
// the signal number when a signal ended it, or -1 when it could not be run.
int runAndWait(const std::vector<std::string>& argv);

}  // namespace platform::posix
