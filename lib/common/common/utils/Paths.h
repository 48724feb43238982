#pragma once

#include <string>

namespace common {

// The running executable's path, canonical and normalised.
std::string getExecutablePath();

// The folder that holds the executable.
std::string getExecutableFolder();

// The folder in which the application bundle lies; for a bare executable, the
// executable's own folder.
std::string getBundlePath();

// "appdata" in the folder of getBundlePath, created when missing; an empty
// path when it can neither be found nor created.
std::string getAppDataFolder();

// True when the path exists afterwards. A folder created here is open to
// every local user (0777): it is shared by the product's processes.
bool createAndSetFullAccessRightsToDirectory(const std::string& path);

// The process's current folder.
std::string getCurrentDirectory();

// Makes `path` the current folder when it exists; true when it changed.
bool setCurrentDirectory(const std::string& path);

}  // namespace common
