#include "interprocess/controller/HostingLock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "support/NobodyChild.h"
#include "support/TempDir.h"

namespace {

using interprocess::HostingLock;
using testsupport::NobodyChild;

constexpr uid_t kOther = NobodyChild::kUid;

// Only its last part names the lock.
const std::string kSocket = "/var/tmp/Unattended_hostinglocktest";

bool otherUsers(const std::string& at) {
    return ::chown(at.c_str(), kOther, kOther) == 0;
}

// Root's lock files lie in a folder that only root writes, and each is a file
// of root's: a folder or file of another user's, or a link, in either place
// is refused, and nothing is taken.
TEST(HostingLockTest, RootTakesALockOnlyInAFolderAndAFileOfItsOwnThatOnlyItWrites) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the other user's folders need a root test";
    }
    const testsupport::TempDir base("quorvane-test", "/run");
    const std::string folder = base.file("ipc");
    const std::string lock = folder + "/Unattended_hostinglocktest.lock";
    const std::string precious = base.file("precious");
    std::ofstream(precious) << "precious";
    const auto folderOf = [&](mode_t mode) {
        return ::mkdir(folder.c_str(), 0700) == 0 && ::chmod(folder.c_str(), mode) == 0;
    };
    const struct {
        const char* what;
        std::function<bool()> plant;
        bool taken;
    } cases[] = {
        {"no folder yet", [] { return true; }, true},
        {"root's folder", [&] { return folderOf(0755); }, true},
        {"a folder of another user", [&] { return folderOf(0755) && otherUsers(folder); }, false},
        {"a folder everybody writes", [&] { return folderOf(0777); }, false},
        {"a folder its group writes", [&] { return folderOf(0775); }, false},
        {"a link to root's folder",
         [&] {
             return ::mkdir(base.file("real").c_str(), 0755) == 0 &&
                    ::symlink(base.file("real").c_str(), folder.c_str()) == 0;
         },
         false},
        {"a file", [&] { return bool(std::ofstream(folder) << "x"); }, false},
        {"a lock folder of another user",
         [&] { return folderOf(0755) && ::mkdir(lock.c_str(), 0700) == 0 && otherUsers(lock); },
         false},
        {"a lock file of another user",
         [&] { return folderOf(0755) && bool(std::ofstream(lock) << "") && otherUsers(lock); },
         false},
        {"a lock that is a link",
         [&] { return folderOf(0755) && ::symlink(precious.c_str(), lock.c_str()) == 0; }, false},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(row.plant());
        std::string reason;
        {
            const auto taken = HostingLock::take(kSocket, reason, folder);
            EXPECT_EQ(taken != nullptr, row.taken) << reason;
            if (taken) {
                std::string again;
                EXPECT_EQ(HostingLock::take(kSocket, again, folder), nullptr);
                EXPECT_EQ(again, "another server of the same kind and id hosts");
            }
        }
        struct stat status {};
        if (row.taken) {
            EXPECT_NE(0, ::lstat(lock.c_str(), &status)) << "the lock file stayed";
        }
        std::filesystem::remove_all(folder);
        std::filesystem::remove_all(base.file("real"));
    }
    std::ifstream kept(precious);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "precious");
}

}  // namespace
