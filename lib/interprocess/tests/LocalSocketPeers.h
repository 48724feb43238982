#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "PeerProcess.h"
#include "interprocess/KindUsers.h"
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

// The entries of /var/tmp and of root's lock folder whose names carry the
// installation id `id` ("<Kind>_<id>", "<Kind>.<uid>_<id>.lock",
// "<Kind>_<id>.planted-<random>", ...), whoever made them.
inline void removeNamed(const std::string& id) {
    for (const char* folder : {"/var/tmp", "/run/quorvane-ipc"}) {
        std::error_code failed;
        for (const auto& entry : std::filesystem::directory_iterator(folder, failed)) {
            if (entry.path().filename().string().find("_" + id) != std::string::npos) {
                std::error_code ignored;
                std::filesystem::remove_all(entry.path(), ignored);
            }
        }
    }
}

// Once per test program: what killed runs of these tests left there, the
// entries named with the installation id of a test process that is gone
// ("_qvt<pid>-", see QueueNames), this user's (or any, for root).
inline void sweepLeftovers() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (const char* folder : {"/var/tmp", "/run/quorvane-ipc"}) {
            std::error_code failed;
            for (const auto& entry : std::filesystem::directory_iterator(folder, failed)) {
                const std::string name = entry.path().filename().string();
                const auto at = name.find("_qvt");
                const pid_t pid = at == std::string::npos ? 0 : std::atoi(name.c_str() + at + 4);
                struct stat status {};
                if (pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH &&
                    ::lstat(entry.path().c_str(), &status) == 0 &&
                    (::geteuid() == 0 || status.st_uid == ::geteuid())) {
                    std::error_code ignored;
                    std::filesystem::remove_all(entry.path(), ignored);
                }
            }
        }
    });
}

// What a root server moved aside from `at`: "<at>.planted-<random>".
inline std::vector<std::string> movedAside(const std::string& at) {
    const std::filesystem::path place(at);
    const std::string prefix = place.filename().string() + ".planted-";
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(place.parent_path())) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) {
            found.push_back(entry.path().string());
        }
    }
    return found;
}

inline void removeMovedAside(const std::string& at) {
    for (const auto& aside : movedAside(at)) {
        std::error_code ignored;
        std::filesystem::remove_all(aside, ignored);
    }
}

// Two or more ipc-peer processes with the controller over local sockets,
// under an installation id of the test's own; what is left under that id in
// /var/tmp and root's lock folder (by a killed peer, or a planted entry) is
// removed at the end, and what killed runs left at the start.
class IpcLocalSocketControllerTest : public ::testing::Test {
protected:
    void SetUp() override { sweepLeftovers(); }
    void TearDown() override { removeNamed(names.prefix()); }

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
    // Where the service of kind kService that this test's user runs listens.
    std::string servicePath() const {
        return path(interprocess::KindUsers::ownName(kService, ::geteuid()));
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
    // A service and its user interface of kinds the test's user may run:
    // root's Unattended and UnattendedUi, or for a user those users run.
    const std::string kService = ::geteuid() == 0 ? "Unattended" : "Attended";
    const std::string kUi = ::geteuid() == 0 ? "UnattendedUi" : "AttendedUi";
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
