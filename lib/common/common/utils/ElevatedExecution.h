#pragma once

#include <cstdint>
#include <cstdio>

namespace common {

// The status that runElevated gives when the tool printed no exit-code line.
inline constexpr int kNoExitCode = -1000;

// Runs `tool` with administrator rights. `user` and `password`, when given,
// are the credentials to authorise with and no one is asked; otherwise the
// user may be asked. `arguments` is a null-terminated list without the
// tool's own path. Returns 0 and sets `*pipe` to the tool's standard output,
// the caller's to close; or a non-zero authorization status (-60005 denied,
// -60006 cancelled, -60031 the tool could not be run, ...). A failure is
// logged at error level on the channel "ElevatedExecution" with its cause in
// words and the status: no pkexec or sudo found, the user refused, ...
std::int32_t executeWithPrivileges(const char* user, const char* password, const char* tool,
                                   char* const* arguments, FILE** pipe);

// Runs `tool` with administrator rights and returns the exit code it prints
// as a line "<exitcode>N</exitcode>", -1000 when its output ends without one,
// or the non-zero authorization status when it cannot be started. Output is
// read in lines of at most 255 bytes, trailing white space removed; reading
// stops at the first line that holds both "<exitcode>" and "</exitcode>",
// whose number counts only when the line begins with "<exitcode>". Blocks
// until then. A failure to start and an output without the line are logged
// as executeWithPrivileges logs.
int runElevated(const char* tool, char* const* arguments);

}  // namespace common
