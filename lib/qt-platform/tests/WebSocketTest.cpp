#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSslError>
#include <numeric>
#include <regex>
#include <thread>

#include "WebSocketFixture.h"
#include "common/logging/Logger.h"
#include "support/ChildProcess.h"

namespace {

using namespace std::chrono_literals;

const std::string kConnected = "connected::0::";

class WebSocketTest : public WebSocketFixture {};

// Events in `all` that start with one of `prefixes`, in order.
Events only(const Events& all, const std::vector<std::string>& prefixes) {
    Events kept;
    for (const auto& event : all) {
        for (const auto& prefix : prefixes) {
            if (event.rfind(prefix, 0) == 0) {
                kept.push_back(event);
                break;
            }
        }
    }
    return kept;
}

TEST_F(WebSocketTest, EchoesTextBinaryAndPingsThenClosesNormally) {
    startPeer();
    SocketEvents events;
    auto& ws = socket(events);
    ws.setHeader("X-Probe", "first");
    ws.open(wsUrl("/echo"));
    ws.setHeader("X-Probe", "later");  // for the next opening only
    ASSERT_TRUE(waitFor(events, kConnected)) << ::testing::PrintToString(events.all());

    const std::string text = "gr\u00fc\u00dfe \u2713 \U0001F680";
    std::vector<std::uint8_t> bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    const std::vector<std::uint8_t> payload(125, 0x5a);
    ws.sendTextMessage(text, events.sent());
    ws.sendBinaryMessage(bytes, events.sent());
    ws.ping(payload);
    // The peer answers the ping at once, and echoes in order.
    ASSERT_TRUE(waitFor(events, "pong:" + SocketEvents::hex(payload)));
    ASSERT_TRUE(waitFor(events, "binary:" + SocketEvents::hex(bytes)));
    EXPECT_EQ((Events{"text:" + text, "binary:" + SocketEvents::hex(bytes)}),
              only(events.all(), {"text:", "binary:"}));
    EXPECT_EQ(2, events.count("sent:1"));

    ws.close();
    ASSERT_TRUE(waitFor(events, "disconnected"));
    ASSERT_TRUE(scheduler_.runUntil([&] { return !journal("close").empty(); }));
    EXPECT_EQ(1000, journal("close").front().value("close").toInt());
    const auto opened = journal("open");
    ASSERT_EQ(1u, opened.size());
    EXPECT_EQ("/echo", opened[0].value("open").toString().toStdString());
    EXPECT_TRUE(opened[0].value("headers").toArray().contains(QJsonArray{"X-Probe", "first"}));
    EXPECT_EQ(1, events.count("disconnected"));
}

TEST_F(WebSocketTest, EachOpeningEndsInOneReportedOutcome) {
    startPeer(true);
    const std::string wss = "127.0.0.1:" + std::to_string(port("wss"));
    const std::string refused = "ws://127.0.0.1:" + std::to_string(unusedPort()) + "/f";
    const int selfSigned = QSslError::SelfSignedCertificate;
    const int wrongHost = QSslError::HostNameMismatch;
    const std::string bothSslErrors =  // in the order Qt reports them
        "ssl:" + std::to_string(wrongHost) + "," + std::to_string(selfSigned);
    struct Case {
        std::string url;
        std::vector<int> ignored;
        Events expected;   // a connected socket is closed at once
        std::string path;  // what the server saw opened, if anything
    };
    const std::vector<Case> cases{
        {"https://" + wss + "/a?next=https://x.test/",
         {selfSigned, wrongHost},
         {kConnected, "disconnected"},
         "/a?next=https://x.test/"},
        {"HTTPS://" + wss + "/b", {wrongHost, selfSigned}, {kConnected, "disconnected"}, "/b"},
        {"http://127.0.0.1:" + std::to_string(port("ws")) + "/c",
         {},
         {"error:10", "disconnected"},
         ""},
        {"wss://" + wss + "/d", {}, {bothSslErrors, "error:13", "disconnected"}, ""},
        {"wss://" + wss + "/e", {selfSigned}, {"error:13", "disconnected"}, ""},
        {refused, {}, {"error:0", "disconnected"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        SocketEvents events;
        auto& ws = socket(events);
        ws.setIgnoredSslErrors(c.ignored);
        ws.open(c.url);
        if (c.expected.front() == kConnected) {
            ASSERT_TRUE(waitFor(events, kConnected)) << ::testing::PrintToString(events.all());
            ws.close();
        }
        ASSERT_TRUE(waitFor(events, "disconnected")) << ::testing::PrintToString(events.all());
        // Opened once more: whatever the first attempt still had to report
        // comes before this connect.
        ws.open(wsUrl("/again"));
        ASSERT_TRUE(waitFor(events, kConnected, c.expected.front() == kConnected ? 2 : 1));
        auto expected = c.expected;
        expected.push_back(kConnected);
        EXPECT_EQ(expected, events.all());
        if (!c.path.empty()) {
            const auto opened = journal("open");
            EXPECT_TRUE(std::any_of(opened.begin(), opened.end(),
                                    [&](const QJsonObject& entry) {
                                        return entry.value("open").toString().toStdString() ==
                                               c.path;
                                    }))
                << "the server saw no opening of " << c.path;
        }
    }
}

// A server that takes the connection and never answers the handshake.
class SilentServer {
public:
    SilentServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~SilentServer() {
        if (accepted_ >= 0) {
            ::close(accepted_);
        }
        ::close(listener_);
    }

    std::uint16_t port() const { return port_; }
    // Whether a client connected within `timeout`.
    bool accept(std::chrono::milliseconds timeout) {
        if (!readable(listener_, timeout)) {
            return false;
        }
        accepted_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return accepted_ >= 0;
    }
    // Whether the client hung up within `timeout` (after whatever it sent).
    bool hungUp(std::chrono::milliseconds timeout) {
        char buffer[4096];
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (readable(accepted_, std::chrono::duration_cast<std::chrono::milliseconds>(
                                       deadline - std::chrono::steady_clock::now()))) {
            if (::read(accepted_, buffer, sizeof buffer) <= 0) {
                return true;
            }
        }
        return false;
    }

private:
    static bool readable(int fd, std::chrono::milliseconds timeout) {
        pollfd entry{fd, POLLIN, 0};
        return timeout.count() > 0 && ::poll(&entry, 1, static_cast<int>(timeout.count())) == 1;
    }

    int listener_ = -1;
    int accepted_ = -1;
    std::uint16_t port_ = 0;
};

TEST_F(WebSocketTest, CloseWhileConnectingAbandonsTheAttemptAndReportsItOnce) {
    startPeer();
    SilentServer silent;
    SocketEvents events;
    auto& ws = socket(events);
    ws.open("ws://127.0.0.1:" + std::to_string(silent.port()) + "/");
    ASSERT_TRUE(silent.accept(10s));
    ws.close();
    EXPECT_TRUE(silent.hungUp(10s)) << "the opening went on after close";
    ASSERT_TRUE(waitFor(events, "disconnected"));
    ws.open(wsUrl("/after"));
    ASSERT_TRUE(waitFor(events, kConnected));
    EXPECT_EQ((Events{"disconnected", kConnected}), events.all());
}

TEST_F(WebSocketTest, ReportsPostedBeforeAResetReachNobodyButMessageSentHandlers) {
    startPeer();
    SocketEvents events;
    auto& ws = socket(events);
    ws.open(wsUrl("/reset"));
    ASSERT_TRUE(waitFor(events, kConnected));
    ws.sendTextMessage("echo me", events.sent());
    // The sent report and the echo wait on the main thread's queue.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (scheduler_.taskCount() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(2u, scheduler_.taskCount());
    ws.resetHandlers();
    scheduler_.runPending();
    EXPECT_EQ((Events{kConnected, "sent:1"}), events.all());
}

TEST_F(WebSocketTest, ConnectAndDisconnectAreWrittenAsMetricsToTheTextLog) {
    startPeer();
    testsupport::TempDir folder("quorvane-log");
    const auto result = testsupport::runInChild([&] {
        common::Logger::setLogFolder(folder.path());
        common::Logger::init("Test", "/opt/probe", helper::ApplicationType::ComponentTest,
                             {common::logsink::rotatingFile});
        SocketEvents events;
        auto& ws = socket(events);
        ws.open(wsUrl("/metrics"));
        if (!waitFor(events, kConnected)) {
            return 10;
        }
        ws.close();
        if (!waitFor(events, "disconnected")) {
            return 11;
        }
        sockets_.clear();
        platform_.reset();
        return 0;
    });
    const auto text = testsupport::readFile(folder.file("probe.log"));
    ASSERT_TRUE(result.exited);
    ASSERT_EQ(0, result.exitCode) << text;
    std::vector<std::string> connected;
    std::vector<std::string> disconnected;
    for (const auto& line : testsupport::splitLines(text)) {
        if (line.find("[WebSocket] tag=websocket-connected") != std::string::npos) {
            connected.push_back(line);
        } else if (line.find("[WebSocket] tag=websocket-disconnected") != std::string::npos) {
            disconnected.push_back(line);
        }
    }
    ASSERT_EQ(1u, connected.size()) << text;
    ASSERT_EQ(1u, disconnected.size()) << text;
    const std::string url = wsUrl("/metrics");
    EXPECT_NE(std::string::npos, connected[0].find("proxy=\"0\", url=\"" + url + "\""))
        << connected[0];
    std::smatch object;
    ASSERT_TRUE(std::regex_search(connected[0], object, std::regex("object=\"0x[0-9a-f]+\",")));
    EXPECT_NE(std::string::npos, disconnected[0].find(object.str())) << disconnected[0];
    EXPECT_NE(std::string::npos, disconnected[0].find("error=\"UnknownSocketError\""))
        << disconnected[0];
}

}  // namespace
