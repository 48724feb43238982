#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
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
        for (const char* type : {"Unattended", "UnattendedUi"}) {
            const std::string at = path(type);
            struct stat status {};
            if (::lstat(at.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
                status.st_uid == ::geteuid()) {
                ::unlink(at.c_str());
            }
        }
    }

    std::unique_ptr<PeerProcess> peer(const std::string& type, const std::string& options = "") {
        auto peer = std::make_unique<PeerProcess>();
        peer->command("sockets " + names.prefix() + " " + type + " " + options);
        EXPECT_EQ(peer->waitFor("started"), "started 1") << type;
        EXPECT_EQ(peer->waitFor("listening"), "listening " + type) << type;
        return peer;
    }
    std::string path(const std::string& type) const {
        return "/var/tmp/" + type + "_" + names.prefix();
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
