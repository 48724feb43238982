#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "LocalSocketPeers.h"
#include "PeerProcess.h"
#include "support/NobodyChild.h"

using interprocesstest::frame;
using interprocesstest::IpcLocalSocketControllerTest;
using interprocesstest::PeerProcess;
using interprocesstest::RawClient;
using testsupport::NobodyChild;
using namespace std::chrono_literals;

namespace {

// The owner of the local session in these tests; nobody is the attacker.
constexpr uid_t kSessionUser = 65533;

// Run as `user`: greets the server at `at` as `kind` and, when it stays
// linked, reads the frame of `expected`; true when that came.
bool greetAndHear(const std::string& at, const std::string& kind, const std::string& expected) {
    // Kept open until the child is released.
    auto* client = new RawClient(at);
    if (!client->connected()) {
        return false;
    }
    client->send(frame(kind));
    return client->receive(frame(expected).size(), 10s) == frame(expected);
}

// Run as `user`: greets as `kind`, says something, and is closed unheard.
bool greetAndBeTurnedAway(const std::string& at, const std::string& kind) {
    RawClient client(at);
    if (!client.connected()) {
        return false;
    }
    client.send(frame(kind) + frame("{\"spoofed\":1}"));
    return client.receive(1, 5s).empty() && client.closedWithin(1s);
}

TEST_F(IpcLocalSocketControllerTest, AUserInterfaceIsTheSessionUsersAndTheFirstUserLinkedKeepsIt) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the attacker needs a root test";
    }
    auto service = peer("Unattended", "", kSessionUser);
    const std::string at = path("Unattended");
    {
        NobodyChild ui([&] { return greetAndHear(at, "UnattendedUi", "{\"for\":\"ui\"}"); },
                       kSessionUser);
        ASSERT_EQ(service->waitFor("connected"), "connected UnattendedUi");
        service->command("to UnattendedUi {\"for\":\"ui\"}");
        EXPECT_EQ(service->waitFor("to"), "to 1");
        EXPECT_TRUE(ui.succeeded()) << "the session user's interface did not hear root";
        // Nobody may not be a user interface; root may, but the session
        // user's is linked.
        for (const std::string kind : {"UnattendedUi", "AttendedUi", "CustomerAttendedAppUi"}) {
            NobodyChild attacker([&] { return greetAndBeTurnedAway(at, kind); });
            EXPECT_TRUE(attacker.succeeded()) << kind;
        }
        EXPECT_TRUE(greetAndBeTurnedAway(at, "UnattendedUi")) << "root, while the session user is linked";
        EXPECT_FALSE(service->waitFor("received", 300ms)) << "a refused greeting spoke";
    }
    ASSERT_EQ(service->waitFor("disconnected"), "disconnected UnattendedUi");
    // What waits for the interface goes to the session user's only.
    service->command("to UnattendedUi {\"waited\":1}");
    EXPECT_EQ(service->waitFor("to"), "to 0");
    NobodyChild attacker([&] { return greetAndBeTurnedAway(at, "UnattendedUi"); });
    EXPECT_TRUE(attacker.succeeded()) << "nobody heard what waited, or was not closed";
    NobodyChild back([&] { return greetAndHear(at, "UnattendedUi", "{\"waited\":1}"); },
                     kSessionUser);
    EXPECT_TRUE(back.succeeded()) << "the session user's interface did not get what waited";
    EXPECT_EQ(service->waitFor("connected"), "connected UnattendedUi");
    EXPECT_EQ(service->seen, std::vector<std::string>{}) << "a refused greeting was linked";
}

// The session passes from one user to another and back: the former session
// user's interface is closed at what root comes upon first, its next text,
// root's next text to the kind (while the interface stays silent) or the new
// one's greeting, both ends hearing of it, its texts not taken; the new one
// links, and what it queued and what root sent for it arrive.
TEST_F(IpcLocalSocketControllerTest,
       ASessionChangeEndsTheFormerSessionUsersLinksAndLetsTheNewOneLink) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the session's users need a root test";
    }
    constexpr uid_t kNext = 65532;
    for (const bool rootSpeaks : {false, true}) {
        SCOPED_TRACE(rootSpeaks ? "root's text" : "the former user's texts");
        auto service = peer("Unattended", "", kSessionUser);
        auto former = peer("UnattendedUi", "", std::nullopt, kSessionUser);
        former->command("connect Unattended");
        ASSERT_EQ(former->waitFor("connect "), "connect Unattended 1");
        ASSERT_EQ(service->waitFor("connected"), "connected UnattendedUi");

        service->command("session " + std::to_string(kNext));
        ASSERT_EQ(service->waitFor("session"), "session");
        if (rootSpeaks) {
            service->command("to UnattendedUi {\"for\":\"next\"}");
        }
        for (int n = 1; n <= 3 && !rootSpeaks; ++n) {
            former->command("to Unattended {\"former\":" + std::to_string(n) + "}");
        }
        EXPECT_EQ(service->waitFor("disconnected"), "disconnected UnattendedUi");
        EXPECT_EQ(former->waitFor("disconnected"), "disconnected Unattended");

        auto next = peer("UnattendedUi", "", std::nullopt, kNext);
        next->command("to Unattended {\"queued\":1}");
        EXPECT_EQ(next->waitFor("to"), "to 0");
        next->command("connect Unattended");
        EXPECT_EQ(next->waitFor("connect "), "connect Unattended 1");
        EXPECT_EQ(service->waitFor("connected"), "connected UnattendedUi");
        EXPECT_EQ(service->waitFor("received"), "received UnattendedUi {\"queued\":1}");
        if (!rootSpeaks) {
            service->command("to UnattendedUi {\"for\":\"next\"}");
        }
        EXPECT_EQ(next->waitFor("received"), "received Unattended {\"for\":\"next\"}");
        EXPECT_FALSE(former->waitFor("received", 200ms)) << "the former session user heard root";
        if (rootSpeaks) {
            continue;
        }

        // Back to the first user: its greeting ends the other's link.
        service->command("session " + std::to_string(kSessionUser));
        ASSERT_EQ(service->waitFor("session"), "session");
        former->command("connect Unattended");
        EXPECT_EQ(former->waitFor("connect "), "connect Unattended 1");
        EXPECT_EQ(next->waitFor("disconnected"), "disconnected Unattended");
        EXPECT_EQ(service->waitFor("connected"), "connected UnattendedUi");
        service->command("to UnattendedUi {\"for\":\"former\"}");
        EXPECT_EQ(former->waitFor("received"), "received Unattended {\"for\":\"former\"}");
        for (const auto& line : service->seen) {
            EXPECT_EQ(line.find("former\":"), std::string::npos) << "root took " << line;
        }
    }
}

TEST_F(IpcLocalSocketControllerTest, KindsUsersRunAreNamedWithTheirUserAndRootReachesTheSessionUsers) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the other users need a root test";
    }
    // Nobody starts first; the session user's process starts all the same.
    auto squatter = peer("Attended", "", std::nullopt, NobodyChild::kUid);
    auto owner = peer("Attended", "", std::nullopt, kSessionUser);
    for (const uid_t user : {NobodyChild::kUid, kSessionUser}) {
        struct stat status {};
        const std::string at = path("Attended." + std::to_string(user));
        ASSERT_EQ(0, ::lstat(at.c_str(), &status)) << at;
        EXPECT_EQ(status.st_uid, user) << at;
    }
    auto control = peer("RemoteControl", "", kSessionUser);
    control->command("connect Attended");
    EXPECT_EQ(control->waitFor("connect "), "connect Attended 1");
    control->command("to Attended {\"secret\":1}");
    EXPECT_EQ(owner->waitFor("received"), "received RemoteControl {\"secret\":1}");
    EXPECT_FALSE(squatter->waitFor("received", 500ms)) << "root's text reached nobody";
    EXPECT_FALSE(squatter->waitFor("connected", 100ms)) << "root linked with nobody";
}

TEST_F(IpcLocalSocketControllerTest, ARootServerTakesItsPathBackFromWhatAnotherUserPlantedThere) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the attacker needs a root test";
    }
    const std::string at = path("Unattended");
    const std::string target = at + "-target";
    std::ofstream(target) << "precious";
    // A file of root's that others may write, such as a careless program
    // leaves: another user may give it a second name.
    const std::string writable = at + "-writable";
    std::ofstream(writable) << "root's";
    ASSERT_EQ(0, ::chmod(writable.c_str(), 0666));
    // Whatever the outcome, nothing planted stays.
    const std::shared_ptr<void> cleanUp(nullptr, [&](void*) {
        std::filesystem::remove_all(at);
        ::unlink(target.c_str());
        ::unlink(writable.c_str());
        interprocesstest::removeMovedAside(at);
    });
    const auto hosts = [&](const char* what) {
        SCOPED_TRACE(what);
        PeerProcess service;
        service.command("sockets " + names.prefix() + " Unattended");
        EXPECT_EQ(service.waitFor("started"), "started 1");
        struct stat status {};
        EXPECT_EQ(0, ::lstat(at.c_str(), &status));
        EXPECT_TRUE(S_ISSOCK(status.st_mode));
        EXPECT_EQ(status.st_uid, 0u);
        RawClient ui(at);
        ASSERT_TRUE(ui.connected());
        ui.send(frame("UnattendedUi") + frame("{\"back\":1}"));
        EXPECT_EQ(service.waitFor("received"), "received UnattendedUi {\"back\":1}");
    };
    const struct {
        const char* what;
        std::function<bool()> plant;
    } cases[] = {
        {"a file", [&] { return bool(std::ofstream(at) << "planted"); }},
        {"a link", [&] { return ::symlink(target.c_str(), at.c_str()) == 0; }},
        {"a FIFO", [&] { return ::mkfifo(at.c_str(), 0666) == 0; }},
        {"an empty folder", [&] { return ::mkdir(at.c_str(), 0777) == 0; }},
        {"a folder with a file in it",
         [&] {
             return ::mkdir(at.c_str(), 0777) == 0 && bool(std::ofstream(at + "/kept") << "x");
         }},
        {"a second name of a file of root's",
         [&] { return ::link(writable.c_str(), at.c_str()) == 0; }},
    };
    for (const auto& row : cases) {
        NobodyChild planter(row.plant);
        ASSERT_TRUE(planter.succeeded()) << row.what;
        hosts(row.what);
        std::filesystem::remove_all(at);
    }
    // The full folder and the second name were moved aside, whole, and only
    // they.
    const auto aside = interprocesstest::movedAside(at);
    EXPECT_EQ(aside.size(), 2u);
    struct stat root {};
    ASSERT_EQ(0, ::lstat(writable.c_str(), &root));
    EXPECT_EQ(root.st_nlink, 2u);
    for (const auto& entry : aside) {
        struct stat status {};
        ASSERT_EQ(0, ::lstat(entry.c_str(), &status));
        std::ifstream kept(S_ISDIR(status.st_mode) ? entry + "/kept" : entry);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}),
                  S_ISDIR(status.st_mode) ? "x" : "root's");
    }
    std::ifstream precious(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(precious), {}), "precious");

    // Nobody makes a folder with a file in it at the path over and over, for
    // as long as the marker is there: every start hosts all the same.
    const std::string marker = at + "-running";
    std::ofstream(marker) << "";
    ASSERT_EQ(0, ::chmod(marker.c_str(), 0644));
    const std::shared_ptr<void> stop(nullptr, [&](void*) { ::unlink(marker.c_str()); });
    NobodyChild loop([&] {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        struct stat status {};
        while (::lstat(marker.c_str(), &status) == 0 &&
               std::chrono::steady_clock::now() < deadline) {
            if (::mkdir(at.c_str(), 0777) == 0) {
                std::ofstream(at + "/kept") << "x";
            }
        }
        return true;
    });
    for (int start = 0; start < 8; ++start) {
        hosts(("start " + std::to_string(start)).c_str());
    }
    ::unlink(marker.c_str());
    EXPECT_TRUE(loop.succeeded());
}

}  // namespace
