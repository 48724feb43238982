#pragma once

#include <string>

namespace interprocess {

// The folder "ipc" in the application-data folder, created open to every
// user when missing: where the message queues live on platforms that keep
// them as files. On Linux the queues are POSIX shared-memory objects
// (/dev/shm) and this folder is not used by them.
std::string ipcSharedDirectory();

}  // namespace interprocess
