#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "ManualTaskScheduler.h"
#include "PeerProcess.h"
#include "RecordingLogger.h"
#include "interprocess/AsynchronousDataLink.h"
#include "interprocess/DataLink.h"
#include "interprocess/IpcController.h"
#include "interprocess/JsonSerialization.h"

using interprocesstest::PeerProcess;
using interprocesstest::QueueNames;
using namespace std::chrono_literals;

namespace {

using interprocess::protocol::Command;

// `command` as a link message from `link` to `to`.
bool sendCommand(interprocess::IDataLink& link, const std::string& to, const Command& command,
                 bool toListener) {
    std::string text;
    interprocess::json_serialize(command, text);
    return link.send(to, {text.begin(), text.end()}, false, 1, toListener, false, true);
}

// The next message waiting for `link`, if there is one.
std::optional<Command> receiveCommand(interprocess::IDataLink& link) {
    std::vector<std::uint8_t> payload;
    std::string from;
    bool sync = false, toListener = false, ack = false;
    std::int64_t id = 0;
    Command command;
    if (!link.receive(payload, from, sync, id, toListener, ack, false) ||
        !interprocess::json_deserialize(std::string(payload.begin(), payload.end()), command)) {
        return std::nullopt;
    }
    return command;
}

class IpcControllerTest : public ::testing::Test {
protected:
    // A data link of this process named `name`, its queue made.
    std::unique_ptr<interprocess::IDataLink> link(const std::string& name) {
        names.queue(name);
        auto own = interprocess::DataLink::create(
            names.prefix(), name, std::make_unique<testsupport::RecordingLogger>(lines));
        EXPECT_TRUE(own->init(100, 16384));
        return own;
    }

    // A peer process whose controller runs as `name` and is listening; run by `user` when
    // one is given.
    std::unique_ptr<PeerProcess> controller(const std::string& name,
                                            std::optional<uid_t> user = std::nullopt) {
        auto peer = std::make_unique<PeerProcess>(user);
        if (user) {
            names.queueOf(name, *user);
        } else {
            names.queue(name);
        }
        peer->command("controller " + names.prefix() + " " + name);
        EXPECT_EQ(peer->waitFor("started"), "started 1") << name;
        EXPECT_EQ(peer->waitFor("listening"), "listening " + name) << name;
        return peer;
    }

    QueueNames names;
    std::shared_ptr<testsupport::RecordingLogger::Lines> lines =
        std::make_shared<testsupport::RecordingLogger::Lines>();
};

}  // namespace

TEST_F(IpcControllerTest, TextsFlowBothWaysInOrderAndOnlyToTheExactName) {
    // Kinds the test's user may run; `wrong` is a kind nobody runs here.
    const std::string service = ::geteuid() == 0 ? "Unattended" : "Attended";
    const std::string wrong = ::geteuid() == 0 ? "Attended" : "CustomerAttendedApp";
    auto a = controller(service);
    auto b = controller("AttendedUi");
    a->command("to AttendedUi {\"n\":1}");
    // While b is stopped the link stays in the making, its transport there.
    b->signal(SIGSTOP);
    a->command("connect AttendedUi");
    std::this_thread::sleep_for(300ms);
    a->command("to AttendedUi {\"n\":2}");
    ASSERT_EQ(a->waitFor("to"), "to 1");
    ASSERT_EQ(a->waitFor("to"), "to 1");
    b->signal(SIGCONT);
    ASSERT_EQ(a->waitFor("connect"), "connect AttendedUi 1");
    EXPECT_EQ(a->waitFor("connected"), "connected AttendedUi");
    EXPECT_EQ(b->waitFor("connected"), "connected " + service);
    a->command("to " + wrong + " {\"wrong\":1}");
    a->command("to AttendedUi {\"n\":3}");
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(b->waitFor("received"),
                  "received " + service + " {\"n\":" + std::to_string(n) + "}");
    }
    b->command("to " + service + " {\"m\":1}");
    b->command("to " + service + " {\"m\":2}");
    EXPECT_EQ(a->waitFor("received"), "received AttendedUi {\"m\":1}");
    EXPECT_EQ(a->waitFor("received"), "received AttendedUi {\"m\":2}");

    b->command("tosync " + service + " {\"s\":1}");
    EXPECT_EQ(b->waitFor("tosync"), "tosync 1");
    EXPECT_EQ(a->waitFor("syncreceived"), "syncreceived AttendedUi {\"s\":1}");
    EXPECT_FALSE(b->waitFor("received", 500ms)) << "the text for " + wrong + " reached AttendedUi";

    // A killed peer is reported gone and its successor connects.
    const auto killed = std::chrono::steady_clock::now();
    b->kill();
    ASSERT_EQ(a->waitFor("disconnected", 16s), "disconnected AttendedUi");
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 14s);
    auto successor = controller("AttendedUi");
    a->command("to AttendedUi {\"again\":1}");
    a->command("connect AttendedUi");
    EXPECT_EQ(a->waitFor("connect"), "connect AttendedUi 1");
    EXPECT_EQ(successor->waitFor("received"), "received " + service + " {\"again\":1}");
    a->command("stop");
    EXPECT_EQ(a->waitFor("stop"), "stop 1");
    a->command("stop");
    EXPECT_EQ(a->waitFor("stop"), "stop 0");
}

TEST_F(IpcControllerTest, AnAcceptedLinkPingsItsPeerAboutEvery1100MillisecondsAndBadNamesAreIgnored) {
    // Kinds the test's user may run.
    const std::string service = ::geteuid() == 0 ? "Unattended" : "Attended";
    const std::string client = ::geteuid() == 0 ? "Attended" : "AttendedUi";
    auto peer = controller(service);
    auto own = link(client);
    // Requests naming no process, or no valid one, go unanswered.
    for (const std::string& from : {std::string(), "../" + client, client}) {
        ASSERT_TRUE(
            sendCommand(*own, service, interprocess::protocol::ConnectTo{service, from}, true));
    }
    ASSERT_EQ(peer->waitFor("connected"), "connected " + client);

    // Answer every Ping for four seconds and note when each came.
    std::vector<std::chrono::steady_clock::time_point> pings;
    const auto end = std::chrono::steady_clock::now() + 4500ms;
    while (std::chrono::steady_clock::now() < end) {
        const auto command = receiveCommand(*own);
        if (!command) {
            std::this_thread::sleep_for(5ms);
        } else if (const auto* ping = std::get_if<interprocess::protocol::Ping>(&*command)) {
            pings.push_back(std::chrono::steady_clock::now());
            sendCommand(*own, service, interprocess::protocol::Pong{{ping->id}}, false);
        }
    }
    ASSERT_GE(pings.size(), 3u);
    for (std::size_t i = 1; i < pings.size(); ++i) {
        const auto gap = pings[i] - pings[i - 1];
        EXPECT_GT(gap, 900ms) << "ping " << i;
        EXPECT_LT(gap, 1600ms) << "ping " << i;
    }
}

TEST_F(IpcControllerTest, BothSidesConnectingAtOnceMakeOneLinkWhichTimesOutWhenOneSideDropsIt) {
    auto a = controller("Attended");
    auto b = controller("AttendedUi");
    a->command("connect AttendedUi");
    b->command("connect Attended");
    ASSERT_TRUE(a->waitFor("connect AttendedUi"));
    ASSERT_TRUE(b->waitFor("connect Attended"));
    // Texts go both ways over what is left, and each side had one answer.
    a->command("to AttendedUi {\"from\":\"a\"}");
    b->command("to Attended {\"from\":\"b\"}");
    EXPECT_EQ(b->waitFor("received"), "received Attended {\"from\":\"a\"}");
    EXPECT_EQ(a->waitFor("received"), "received AttendedUi {\"from\":\"b\"}");
    EXPECT_FALSE(a->waitFor("connect", 1500ms)) << "a second answer";
    EXPECT_FALSE(b->waitFor("connect", 10ms)) << "a second answer";

    // a forgets the link at once; what it sends now waits for a new one.
    a->command("drop AttendedUi");
    a->command("unlisten");
    a->command("to AttendedUi {\"late\":1}");
    EXPECT_EQ(a->waitFor("to"), "to 1");
    // b hears nothing back and gives the link up after 11 s without a Pong.
    const auto dropped = std::chrono::steady_clock::now();
    ASSERT_EQ(b->waitFor("disconnected", 15s), "disconnected Attended");
    EXPECT_GT(std::chrono::steady_clock::now() - dropped, 10s);
    // a's listening end no longer answers: b's request times out.
    b->command("connect Attended");
    EXPECT_EQ(b->waitFor("connect", 10s), "connect Attended 0");
    EXPECT_FALSE(b->waitFor("received", 10ms));
}

namespace {

// Keeps what a controller tells its observers.
class Events : public interprocess::IIpcControllerClient {
public:
    void onIpcReady(const std::string) override {}
    void onParticipantConnected(const std::string name) override { seen.push_back("+" + name); }
    void onParticipantDisconnected(const std::string name) override { seen.push_back("-" + name); }
    void onMessageReceived(const helper::ApplicationType, const std::string) override {}
    void onSyncMessageReceived(const helper::ApplicationType, const std::string) override {}
    std::vector<std::string> seen;
};

}  // namespace

// The peer ends its link and asks for a new one at once: the old link's
// "disconnected" report, made after the new request was taken in, must not
// remove the new link, which carries the controller's next text.
TEST_F(IpcControllerTest, ALateDisconnectionReportLeavesTheNewerLinkAlone) {
    auto scheduler = std::make_shared<testsupport::ManualTaskScheduler>(lines);
    names.queue("Attended");
    interprocess::IpcController controller("Attended", names.prefix(), *scheduler,
                                           std::make_unique<testsupport::RecordingLogger>(lines));
    Events events;
    controller.addObserver(&events);
    ASSERT_TRUE(controller.start());
    auto peer = link("AttendedUi");
    // Runs tasks one by one until `done`; the bound only ends a hang.
    const auto runUntil = [&](const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < end) {
            if (done()) {
                return true;
            }
            scheduler->runOne("", false);
        }
        return false;
    };
    // Whether the peer was sent a command that `is`, among all it was sent.
    std::vector<Command> heard;
    const auto wasSent = [&](const std::function<bool(const Command&)>& is) {
        while (const auto command = receiveCommand(*peer)) {
            heard.push_back(*command);
        }
        return std::any_of(heard.begin(), heard.end(), is);
    };
    const Command connectTo = interprocess::protocol::ConnectTo{"Attended", "AttendedUi"};
    sendCommand(*peer, "Attended", connectTo, true);
    ASSERT_TRUE(runUntil([&] { return events.seen.size() == 1; }));

    // The old link answers the Disconnect with Shutdown; its return to Init,
    // which makes its report, is queued behind that.
    sendCommand(*peer, "Attended", interprocess::protocol::Disconnect{}, false);
    ASSERT_TRUE(runUntil([&] {
        return wasSent([](const Command& command) {
            return std::holds_alternative<interprocess::protocol::Shutdown>(command);
        });
    }));
    // The new request is taken in before the report is made: once a poll of
    // the data link is due, it runs ahead of every ordinary task.
    sendCommand(*peer, "Attended", connectTo, true);
    std::this_thread::sleep_for(interprocess::AsynchronousDataLink::kPollInterval + 50ms);
    ASSERT_TRUE(runUntil([&] { return events.seen.size() >= 2; }));
    EXPECT_EQ(events.seen, (std::vector<std::string>{"+AttendedUi", "+AttendedUi"}));

    // The newer link is the controller's: its text goes over it (in an
    // envelope of the transport's).
    EXPECT_TRUE(controller.send(helper::ApplicationType::AttendedUi, "{\"still\":1}"));
    EXPECT_TRUE(runUntil([&] {
        return wasSent([](const Command& command) {
            const auto* data = std::get_if<interprocess::protocol::Data>(&command);
            return data != nullptr && data->json.find("still") != std::string::npos;
        });
    }));
    EXPECT_EQ(events.seen, (std::vector<std::string>{"+AttendedUi", "+AttendedUi"}));
    controller.removeObserver(&events);
}

TEST_F(IpcControllerTest, AnotherUsersProcessAndARootProcessTalkBothWaysInOrder) {
    if (::geteuid() != 0) GTEST_SKIP() << "another user needs a root test";
    auto root = controller("Unattended");
    // Root links with the user interface of the local session's user.
    root->command("session 65534");
    ASSERT_EQ(root->waitFor("session"), "session");
    auto user = controller("AttendedUi", 65534);
    user->command("connect Unattended");
    ASSERT_EQ(user->waitFor("connect"), "connect Unattended 1");
    EXPECT_EQ(root->waitFor("connected"), "connected AttendedUi");
    for (int n = 1; n <= 50; ++n) {
        user->command("to Unattended {\"n\":" + std::to_string(n) + "}");
    }
    for (int n = 1; n <= 50; ++n) {
        ASSERT_EQ(root->waitFor("received"), "received AttendedUi {\"n\":" + std::to_string(n) + "}");
    }
    root->command("to AttendedUi {\"m\":1}");
    EXPECT_EQ(user->waitFor("received"), "received Unattended {\"m\":1}");
    user->command("tosync Unattended {\"s\":1}");
    EXPECT_EQ(user->waitFor("tosync"), "tosync 1");
    EXPECT_EQ(root->waitFor("syncreceived"), "syncreceived AttendedUi {\"s\":1}");
}
