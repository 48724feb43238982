#pragma once

#include <string>
#include <vector>

namespace ipcbench {

// The cases of `ipc-bench --inboxes`: a root process's message-queue link
// while other local users load its inboxes. Runs as root; returns the exit
// status (64 for a case it does not know).
int runInboxCases(const std::vector<std::string>& cases);

}  // namespace ipcbench
