#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ChildLines.h"

namespace ipcbench {

// What the inbox cases (IpcInboxBench.cpp) read of their processes: the lines
// the root link and the senders write, and the kernel's accounts.

// The processor time of a process, all its threads, in seconds.
double cpuSeconds(pid_t pid);
// The descriptors a process holds of inboxes (names with a '~' in /dev/shm).
std::size_t inboxDescriptors(pid_t pid);
std::size_t namesStartingWith(const std::string& prefix);

struct Delays {
    std::size_t sent = 0;
    std::size_t failed = 0;
    std::vector<double> ms;
};

// The delays of the records of `label` sent in [from, to), from the sender's
// lines and the root link's.
Delays delaysOf(const ChildLines& root, const ChildLines& sender, const std::string& label,
                std::int64_t from, std::int64_t to);
double median(const std::vector<double>& sorted);
std::string describe(const Delays& delays);
// Waits until the records the senders reported sent have all arrived at the
// root link, or `until`.
void waitForArrivals(const ChildLines& root, const std::vector<const ChildLines*>& senders,
                     std::chrono::steady_clock::time_point until);
// When the first record of `label` that arrived was sent, and when it
// arrived; nothing when none did.
std::optional<std::pair<std::int64_t, std::int64_t>> firstArrival(const ChildLines& root,
                                                                  const std::string& label);
// When the sender of `lines` sent its first record.
std::int64_t firstSent(const ChildLines& lines);
// Waits until a record of `label` has arrived, or `until`: when the first
// arrived, if it did.
std::optional<std::int64_t> waitForFirst(const ChildLines& root, const std::string& label,
                                         std::chrono::steady_clock::time_point until);
double seconds(std::int64_t fromNs, std::int64_t toNs);
// The share of a core, in percent, that `cpu` seconds are of the time between two readings
// of the clock.
double share(double cpu, std::int64_t fromNs, std::int64_t toNs);

}  // namespace ipcbench
