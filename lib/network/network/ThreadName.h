#pragma once

#include <string>

namespace network {

// Names the calling thread in the operating system and logs the name at
// debug level. Linux keeps at most 15 bytes of a thread name: a longer name
// is cut there, and the log line gives it whole.
void SetCurrentThreadName(const std::string& name);

}  // namespace network
