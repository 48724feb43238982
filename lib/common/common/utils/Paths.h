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
// path when it can neither be found nor created, or is not a folder.
std::string getAppDataFolder();

// True when `path` is a folder afterwards (a symbolic link to one counts).
// A folder created here gets full rights for its owner only (0700): it holds
// the logs. Anything else at the path is an error, logged.
bool createAndSetFullAccessRightsToDirectory(const std::string& path);

// The process's current folder.
std::string getCurrentDirectory();

// Makes `path` the current folder when it exists; true when it changed.
bool setCurrentDirectory(const std::string& path);

}  // namespace common
