#pragma once

#include <string>

namespace testsupport {

// From now on no new thread of the process starts, whichever of its threads
// asks (with `wholeProcess` false: that the calling thread asks for):
// creating one fails with EAGAIN, as it does past a limit of processes or of
// address space; new processes still start. For a forked child of the test:
// it cannot be undone. False, with the reason, where the system cannot
// filter the calls.
bool refuseNewThreads(std::string& reason, bool wholeProcess = true);

}  // namespace testsupport
