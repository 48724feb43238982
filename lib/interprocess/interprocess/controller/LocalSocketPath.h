#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "helper/ApplicationType.h"

namespace interprocess {

// Where a process of the product hosts its local server, and what is found
// there. Nothing here follows a link or changes the file system: the server
// itself takes the place over.
class LocalSocketPath {
public:
    // What identifies one socket file, so that a new one is told from an old.
    struct Stamp {
        ino_t inode;
        dev_t device;
        std::int64_t changedNs;

        bool operator==(const Stamp&) const = default;
    };

    // "/var/tmp/<name>_<installationId>", `name` being a kind's name, with
    // its user for a kind users run (KindUsers::ownName, peerName).
    static std::string forName(const std::string& name, const std::string& installationId);

    // Whether a server of this process's user can listen at `path`: the name
    // fits a socket address, and nothing is there but, at most, a stale
    // socket of the own user (one that nobody listens on), a second name of
    // an own file (which the server moves aside) or, for root, whatever
    // another user put there (LocalSocketPlace). Otherwise `reason` says why
    // not.
    static bool isHostable(const std::string& path, std::string& reason);
    // Whether a server accepts connections at `path` now.
    static bool isLive(const std::string& path);

    // The socket file of the own user at `path`, when there is one.
    static std::optional<Stamp> ownSocket(const std::string& path);

    // Waits at most `timeout` for a socket of the own user at `path` that is
    // not `previous`; true once there is one.
    static bool waitForNewSocket(const std::string& path, const std::optional<Stamp>& previous,
                                 std::chrono::milliseconds timeout);
};

}  // namespace interprocess
