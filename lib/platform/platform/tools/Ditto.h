#pragma once

#include <string>

namespace platform::tools {

// Unpacks the zip archive `archive` into the folder `destination`, as
// "ditto -xk archive destination" does: existing files are overwritten
// without asking and the files' modes are kept. Returns the tool's exit
// status (0 on success, non-zero on failure, -1 when it could not be run).
int dittoExtractZip(const std::string& archive, const std::string& destination);

// The program used to unpack; a test hook may point it elsewhere.
void setUnzipProgram(const std::string& path);

}  // namespace platform::tools
