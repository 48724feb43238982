#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "PeerProcess.h"
#include "support/UnixSocketPeer.h"

namespace interprocesstest {

using RawClient = testsupport::RawPeer;

inline std::string header(std::uint32_t count) {
    return {static_cast<char>(count >> 24), static_cast<char>(count >> 16),
            static_cast<char>(count >> 8), static_cast<char>(count)};
}

inline std::string frame(const std::string& ascii) {
    std::string bytes = header(static_cast<std::uint32_t>(ascii.size() * 2));
    for (const char c : ascii) {
        bytes += '\0';
        bytes += c;
    }
    return bytes;
}

// Two or more ipc-peer processes with the controller over local sockets,
// under an installation id of the test's own; the socket files left behind
// (by a killed peer) are removed at the end.
class IpcLocalSocketControllerTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const std::string type : {"Unattended", "UnattendedUi", "UnattendedUi.0", "Attended.0",
                                       "Attended.65533", "Attended.65534", "RemoteControl"}) {
            const std::string at = path(type);
            struct stat status {};
            if (::lstat(at.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
                ::unlink(at.c_str());
            }
            // The lock files of killed peers.
            ::unlink((at + ".lock").c_str());
            ::unlink((std::string("/run/quorvane-ipc/") + type + "_" + names.prefix() + ".lock").c_str());
        }
    }

    // A peer of `type`, run by `user` (the test's own by default), that takes
    // `session` for the local session's user when one is given.
    std::unique_ptr<PeerProcess> peer(const std::string& type, const std::string& options = "",
                                      std::optional<uid_t> session = std::nullopt,
                                      std::optional<uid_t> user = std::nullopt) {
        auto peer = std::make_unique<PeerProcess>(user);
        if (session) {
            peer->command("session " + std::to_string(*session));
            EXPECT_EQ(peer->waitFor("session"), "session");
        }
        peer->command("sockets " + names.prefix() + " " + type + " " + options);
        EXPECT_EQ(peer->waitFor("started"), "started 1") << type;
        EXPECT_EQ(peer->waitFor("listening"), "listening " + type) << type;
        return peer;
    }
    // The socket of `name`: a kind's name, with ".<uid>" for a kind users run.
    std::string path(const std::string& name) const {
        return "/var/tmp/" + name + "_" + names.prefix();
    }
    static bool saw(const PeerProcess& peer, const std::string& prefix) {
        for (const auto& line : peer.seen) {
            if (line.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    QueueNames names;
};

// Descriptors open in process `pid`.
inline int openDescriptors(pid_t pid) {
    int count = 0;
    if (DIR* folder = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (const dirent* entry = ::readdir(folder)) {
            count += entry->d_name[0] != '.';
        }
        ::closedir(folder);
    }
    return count;
}

// The resident memory of process `pid`, in KiB.
inline long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

}  // namespace interprocesstest
