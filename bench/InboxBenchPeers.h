#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace ipcbench {

// The processes of the inbox cases (IpcInboxBench.cpp), each run in a child
// (ChildLines.h) and speaking through its standard output.

constexpr uid_t kSessionUser = 65534;
constexpr uid_t kOtherUser = 65533;
// The first of the users of the case "users".
constexpr uid_t kFirstUser = 65500;
constexpr const char* kRootKind = "Unattended";

// The root process: its link, logging into a rotating file in `logFolder` as
// a product process does, with kSessionUser's session, until its input ends.
// Writes "ready", then "<text> <time received>" for each record's text.
int rootLink(const std::string& id, const std::string& logFolder);
// Sends the root link records "<label> <time sent>" as a process of `kind`:
// one every `period` until the input ends or, with `burst`, `burst` records
// `period` apart for each line read. Writes "sent <label> <time> <1|0>".
int sender(const std::string& id, const std::string& kind, const std::string& label,
           std::chrono::milliseconds period, int burst);
// Creates empty files under inbox names of `queue`, of the users `uids` in
// turn, for `duration`, until `count` are made or until its input ends;
// without `keep`, removes each at once. Writes "planted <count>".
int plant(const std::string& queue, const std::vector<uid_t>& uids,
          std::chrono::steady_clock::duration duration, std::size_t count, bool keep = true);
// Creates `count` empty files whose names are `prefix` and a number, which
// no root link removes. Writes "left <count>".
int leave(const std::string& prefix, std::size_t count);
// Chooses `count` names of `uid`'s inbox form for `queue` (with `colliding`,
// names that fall in one bucket of a set of the link's names as this process
// hashes them, one as full as the link's get), writes "ready", then keeps
// them in the folder, making each again once it is gone, for `duration` or
// until its input ends. Writes "kept <count made>".
int keepNames(const std::string& queue, uid_t uid, std::size_t count, bool colliding,
         std::chrono::steady_clock::duration duration);
// Makes `inboxes` inboxes of its own for `queue` with `records` records in
// each (which the root link refuses: they name a kind of another user's),
// and holds them, marked in use, until its input ends.
int hold(const std::string& queue, int inboxes, int records);

}  // namespace ipcbench
