#pragma once

#include "ToolUsage.h"

namespace benchsupport {

// Takes Google Benchmark's flags out of the command line. False when the run
// ends there, with `status` set: 0 after printing the usage for --help, 64
// after refusing an argument that is not one of its flags.
bool acceptBenchmarkArguments(int& argc, char** argv, const toolsupport::ToolUsage& usage,
                              int& status);

}  // namespace benchsupport
