#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include "PeerProcess.h"
#include "support/NobodyChild.h"

using interprocesstest::PeerProcess;
using interprocesstest::QueueNames;
using testsupport::NobodyChild;
using namespace std::chrono_literals;

namespace {

constexpr uid_t kSessionUser = 65533;

// A controller over message queues as `name`, run by `user`.
void start(PeerProcess& peer, const QueueNames& names, const std::string& name) {
    peer.command("controller " + names.prefix() + " " + name);
    EXPECT_EQ(peer.waitFor("started"), "started 1") << name;
}

TEST(QueueUsersTest, AQueueOfAKindUsersRunIsNamedWithItsUserAndRootWritesOnlyTheSessionUsers) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the other users need a root test";
    }
    QueueNames names;
    names.queue("Unattended");
    // Nobody starts first; the session user's process starts all the same.
    PeerProcess squatter(NobodyChild::kUid);
    start(squatter, names, "Attended");
    PeerProcess owner(kSessionUser);
    start(owner, names, "Attended");
    for (const uid_t user : {NobodyChild::kUid, kSessionUser}) {
        struct stat status {};
        const std::string queue = "/dev/shm/" + names.queueOf("Attended", user);
        ASSERT_EQ(0, ::stat(queue.c_str(), &status)) << queue;
        EXPECT_EQ(status.st_uid, user) << queue;
    }
    PeerProcess root;
    root.command("session " + std::to_string(kSessionUser));
    start(root, names, "Unattended");
    root.command("connect Attended");
    EXPECT_EQ(root.waitFor("connect"), "connect Attended 1");
    root.command("to Attended {\"secret\":1}");
    EXPECT_EQ(owner.waitFor("received"), "received Unattended {\"secret\":1}");
    EXPECT_FALSE(squatter.waitFor("received", 500ms)) << "root's text reached nobody";
    EXPECT_FALSE(squatter.waitFor("connected", 100ms)) << "root linked with nobody";
}

}  // namespace
