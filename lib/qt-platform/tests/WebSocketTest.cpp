#include <gtest/gtest.h>

#include <QAbstractSocket>
#include <QMetaEnum>
#include <QSslError>
#include <numeric>
#include <regex>

#include "HttpQueryFixture.h"
#include "QtCorePlatformPrivate.h"
#include "support/SquidProxy.h"
#include "WebSocketErrors.h"
#include "WideStrings.h"
#include "common/logging/Logger.h"

namespace {

const std::string kConnected = "connected::0::";

std::string hex(const std::vector<std::uint8_t>& data) {
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()), data.size())
        .toHex()
        .toStdString();
}

// Web sockets of a platform with a fake scheduler, and their peers (see
// websocket_test_peer.py): echo servers with and without TLS (a self-signed
// certificate for "quorvane.test"), a server that never answers, and a proxy
// that leads "target.test" to the echo server (Qt sends nothing for loopback
// through a proxy).
class WebSocketTest : public HttpQueryFixture {
protected:
    void SetUp() override {
        ASSERT_TRUE(makeSelfSignedCertificate(scratch()));
        server_ = std::make_unique<testsupport::ScriptServer>(
            testsupport::testSupportDirectory() + "/websocket_test_peer.py",
            std::vector<std::string>{"--journal", scratch_.file("journal"), "--cert",
                                     scratch_.file("cert.pem"), "--key", scratch_.file("key.pem")});
        ASSERT_TRUE(server_->ready()) << "the web-socket test peer did not start";
    }
    void TearDown() override {
        sockets_.clear();
        HttpQueryFixture::TearDown();
    }

    std::string address(const std::string& peer) const {
        return "127.0.0.1:" + std::to_string(server_->readyNumber(peer).value_or(0));
    }

    // A socket of the platform whose handlers write what they get to `events`.
    IWebSocket& socket(Events& events) {
        if (!platform_) startPlatform();
        auto& ws = *sockets_.emplace_back(platform_->createWebSocket());
        auto add = [&events](const std::string& event) { events.push_back(event); };
        ws.setConnectedHandler(
            [add](std::string host, std::uint16_t port, std::wstring user, std::wstring password) {
                add("connected:" + host + ":" + std::to_string(port) + ":" + utf8FromWide(user) +
                    ":" + utf8FromWide(password));
            });
        ws.setDisconnectedHandler([add] { add("disconnected"); });
        ws.setErrorHandler([add](std::int32_t code) { add("error:" + std::to_string(code)); });
        ws.setSslErrorsHandler([add](std::vector<int> codes) {
            add(std::accumulate(
                codes.begin(), codes.end(), std::string("ssl"),
                [](std::string text, int code) { return text + ":" + std::to_string(code); }));
        });
        ws.setTextMessageHandler([add](std::string text) { add("text:" + text); });
        ws.setBinaryMessageHandler(
            [add](std::vector<std::uint8_t> data) { add("binary:" + hex(data)); });
        ws.setPongHandler(
            [add](std::uint64_t, std::vector<std::uint8_t> data) { add("pong:" + hex(data)); });
        ws.setProxyAuthenticationRequiredHandler([add](std::string host, std::uint16_t port) {
            add("proxy:" + host + ":" + std::to_string(port));
        });
        return ws;
    }

    // Runs the main thread's tasks until `events` holds `event` `times` times.
    bool waitFor(const Events& events, const std::string& event, int times = 1) {
        return scheduler_.runUntil(
            [&] { return std::count(events.begin(), events.end(), event) >= times; });
    }

    // The values of `key` in the peers' journal, in order, as text.
    std::vector<std::string> journal(const QString& key) const {
        std::vector<std::string> values;
        for (const auto& entry : HttpQueryFixture::journal()) {
            if (entry.contains(key)) {
                values.push_back(entry.value(key).toVariant().toString().toStdString());
            }
        }
        return values;
    }
    bool waitForJournal(const QString& key, const std::string& value) {
        return scheduler_.runUntil([&] {
            const auto values = journal(key);
            return std::find(values.begin(), values.end(), value) != values.end();
        });
    }

    std::vector<std::unique_ptr<IWebSocket, std::function<void(IWebSocket*)>>> sockets_;
};

TEST_F(WebSocketTest, EchoesTextBinaryAndPingsThenClosesNormally) {
    Events events;
    auto& ws = socket(events);
    ws.setHeader("X-Probe", "first");
    ws.open("ws://" + address("ws") + "/echo");
    ws.setHeader("X-Probe", "later");  // for the next opening only
    ASSERT_TRUE(waitFor(events, kConnected));

    const std::string text = "gr\u00fc\u00dfe \u2713 \U0001F680";
    std::vector<std::uint8_t> bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    const std::vector<std::uint8_t> payload(125, 0x5a);
    const auto sent = [&events](bool whole) { events.push_back(whole ? "sent" : "short"); };
    ws.sendTextMessage(text, sent);
    ws.sendBinaryMessage(bytes, sent);
    ws.ping(payload);
    ASSERT_TRUE(waitFor(events, "binary:" + hex(bytes)));
    ASSERT_TRUE(waitFor(events, "pong:" + hex(payload)));
    ws.close();
    ASSERT_TRUE(waitFor(events, "disconnected"));
    // The peer answers a ping before it echoes what came earlier, and an echo
    // may come before the next message went out.
    EXPECT_EQ(1u, std::erase(events, "pong:" + hex(payload)));
    EXPECT_EQ(2u, std::erase(events, "sent"));
    EXPECT_EQ((Events{kConnected, "text:" + text, "binary:" + hex(bytes), "disconnected"}), events);
    ASSERT_TRUE(waitForJournal("close", "1000"));
    ASSERT_EQ(std::vector<std::string>{"/echo"}, journal("open"));
    const auto journalText = testsupport::readFile(scratch_.file("journal"));
    EXPECT_NE(std::string::npos, journalText.find(R"(["X-Probe", "first"])")) << journalText;
}

TEST_F(WebSocketTest, EachOpeningEndsInOneReportedOutcome) {
    const int selfSigned = QSslError::SelfSignedCertificate;
    const int wrongHost = QSslError::HostNameMismatch;
    const std::string wss = address("wss");
    const std::string refused = "127.0.0.1:" + std::to_string(unusedPort());
    struct Case {
        std::string url;
        std::vector<int> ignored;
        Events expected;  // a socket that connects is closed at once
    };
    const std::vector<Case> cases{
        {"https://" + wss + "/a?next=https://x.test/",
         {selfSigned, wrongHost},
         {kConnected, "disconnected"}},
        {"HTTPS://" + wss + "/b", {wrongHost, selfSigned}, {kConnected, "disconnected"}},
        {"http://" + address("ws") + "/c", {}, {"error:10", "disconnected"}},
        {"wss://" + wss + "/d",
         {},
         {"ssl:22:9", "error:13", "disconnected"}},  // as Qt reports them
        {"wss://" + wss + "/e", {selfSigned}, {"error:13", "disconnected"}},
        {"ws://" + refused + "/f", {}, {"error:0", "disconnected"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        Events events;
        auto& ws = socket(events);
        ws.setIgnoredSslErrors(c.ignored);
        ws.open(c.url);
        if (c.expected.front() == kConnected) {
            ASSERT_TRUE(waitFor(events, kConnected)) << ::testing::PrintToString(events);
            ws.close();
        }
        ASSERT_TRUE(waitFor(events, "disconnected")) << ::testing::PrintToString(events);
        // Opened once more: whatever the first attempt still had to report
        // comes before this connect.
        ws.open("ws://" + address("ws") + "/again");
        ASSERT_TRUE(waitFor(events, kConnected, c.expected.front() == kConnected ? 2 : 1));
        auto expected = c.expected;
        expected.push_back(kConnected);
        EXPECT_EQ(expected, events);
    }
    // The peer writes its journal once it has answered.
    scheduler_.runUntil([&] { return journal("open").size() >= 8; });
    EXPECT_EQ((std::vector<std::string>{"/a?next=https://x.test/", "/again", "/b", "/again",
                                        "/again", "/again", "/again", "/again"}),
              journal("open"));
}

TEST_F(WebSocketTest, CloseWhileConnectingAbandonsTheAttemptAndReportsItOnce) {
    Events events;
    auto& ws = socket(events);
    ws.close();  // never opened: reported all the same
    ws.open("ws://" + address("silent") + "/");
    ASSERT_TRUE(waitForJournal("silent", "accepted"));
    ws.close();
    EXPECT_TRUE(waitForJournal("silent", "closed")) << "the opening went on after close";
    ASSERT_TRUE(waitFor(events, "disconnected", 2));
    ws.open("ws://" + address("ws") + "/after");
    ASSERT_TRUE(waitFor(events, kConnected));
    EXPECT_EQ((Events{"disconnected", "disconnected", kConnected}), events);
}

TEST_F(WebSocketTest, ReportsPostedBeforeAResetReachNobodyButMessageSentHandlers) {
    Events events;
    auto& ws = socket(events);
    ws.open("ws://" + address("ws") + "/reset");
    ASSERT_TRUE(waitFor(events, kConnected));
    ws.sendTextMessage("echo me", [&events](bool) { events.push_back("sent"); });
    // The sent report and the echo wait on the main thread's queue.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (scheduler_.taskCount() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(2u, scheduler_.taskCount());
    ws.resetHandlers();
    scheduler_.runPending();
    EXPECT_EQ((Events{kConnected, "sent"}), events);
}

TEST_F(WebSocketTest, ConnectAndDisconnectAreWrittenAsMetricsToTheTextLog) {
    testsupport::TempDir folder("quorvane-log");
    const std::string url = "ws://" + address("ws") + "/metrics";
    const auto result = testsupport::runInChild([&] {
        common::Logger::setLogFolder(folder.path());
        common::Logger::init("Test", "/opt/probe", helper::ApplicationType::ComponentTest,
                             {common::logsink::rotatingFile});
        Events events;
        auto& ws = socket(events);
        ws.open(url);
        const bool connected = waitFor(events, kConnected);
        ws.close();
        const bool disconnected = waitFor(events, "disconnected");
        sockets_.clear();
        platform_.reset();
        return connected && disconnected ? 0 : 1;
    });
    const auto log = testsupport::readFile(folder.file("probe.log"));
    ASSERT_TRUE(result.exited && result.exitCode == 0) << log;
    const std::regex connected(
        R"re(\[WebSocket\] tag=websocket-connected, object="(0x[0-9a-f]+)", proxy="0", url="([^"]*)"\n)re");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(log, found, connected)) << log;
    EXPECT_EQ(url, found[2].str());
    const std::string disconnected =
        "[WebSocket] tag=websocket-disconnected, error=\"UnknownSocketError\", "
        "errorstring=\"Unknown error\", object=\"" +
        found[1].str() + "\", proxy=\"0\"\n";
    EXPECT_NE(std::string::npos, log.find(disconnected)) << log;
    const std::regex event(R"(\[WebSocket\] tag=websocket-)");
    EXPECT_EQ(2, std::distance(std::sregex_iterator(log.begin(), log.end(), event),
                               std::sregex_iterator()))
        << log;
}

TEST_F(WebSocketTest, AProxyThatCannotBeFoundMovesTheProcessToTheNextOne) {
    environment_.set("http_proxy", "http://no..where:1");  // refused before any lookup
    environment_.set("https_proxy", "http://" + address("proxy"));
    Events events;
    socket(events).open("ws://target.test:" + address("ws").substr(10) + "/walk");
    ASSERT_TRUE(waitFor(events, "disconnected"));
    EXPECT_EQ((Events{"error:17", "disconnected"}), events);
    EXPECT_EQ("127.0.0.1", QNetworkProxy::applicationProxy().hostName().toStdString());
}

// Through the test peer's proxy, then through squid.
TEST_F(WebSocketTest, ThroughAProxyRefusedCredentialsEndTheOpeningOnceAndNewOnesAreUsed) {
    const std::string echoPort = address("ws").substr(10);
    const std::string target = "ws://target.test:" + echoPort + "/tunnel";
    for (const bool throughSquid : {false, true}) {
        SCOPED_TRACE(throughSquid ? "squid" : "test peer");
        if (throughSquid && !SquidProxy::installed()) {
            GTEST_SKIP() << SquidProxy::kSquid << " is not installed";
        }
        std::optional<SquidProxy> squid;
        if (throughSquid) {
            squid.emplace("anna", "open-sesame", static_cast<std::uint16_t>(std::stoi(echoPort)));
            ASSERT_TRUE(squid->ready()) << squid->log();
        }
        const std::string proxy = throughSquid ? squid->address() : address("proxy");
        environment_.set("http_proxy", "http://" + proxy);
        sockets_.clear();
        platform_.reset();
        Events events, expected{"proxy:" + proxy, "error:12", "disconnected"};
        auto& ws = socket(events);
        ws.setProxyCredentials(L"anna", L"wrong");
        ws.open(target);
        if (!throughSquid) {
            // The same credentials are set again before the proxy refuses
            // them: they are not offered twice in one opening.
            ASSERT_TRUE(waitForJournal("auth", "wrong"));
            ws.setProxyCredentials(L"anna", L"wrong");
        }
        ASSERT_TRUE(waitFor(events, "disconnected")) << ::testing::PrintToString(events);
        if (!throughSquid) {
            // Opened again while the user is being asked: the proxy is not answered.
            ws.open(target);
            ASSERT_TRUE(waitFor(events, "disconnected", 2)) << ::testing::PrintToString(events);
            expected.insert(expected.end(), {"error:12", "disconnected"});
        }
        // Whatever a refused opening still had to report comes before this connect.
        ws.setProxyCredentials(L"anna", L"open-sesame");
        ws.open(target);
        const std::string connected = "connected:" + proxy + ":anna:open-sesame";
        ASSERT_TRUE(waitFor(events, connected))
            << ::testing::PrintToString(events) << (squid ? squid->log() : "");
        ws.sendTextMessage("through", {});
        ASSERT_TRUE(waitFor(events, "text:through"));
        expected.insert(expected.end(), {connected, "text:through"});
        EXPECT_EQ(expected, events);
        EXPECT_EQ(ProxyAuthenticator::CredentialsAccepted,
                  platform_->internals().proxyAuthenticator()->credentialsState());
        if (!throughSquid) {
            EXPECT_EQ((std::vector<std::string>{"missing", "wrong", "missing", "missing", "ok"}),
                      journal("auth"));
        }
    }
}

// Every socket error Qt names reaches the error handler as its own value, Qt's unknown error as
// -1; a value Qt does not name, the first one past the named ones included, is unknown too.
TEST(WebSocketErrorsTest, NamedErrorsKeepTheirValueOthersAreUnknown) {
    const QMetaEnum qtErrors = QMetaEnum::fromType<QAbstractSocket::SocketError>();
    int largest = -1;
    for (int i = 0; i < qtErrors.keyCount(); ++i) {
        const int value = qtErrors.value(i);
        SCOPED_TRACE(qtErrors.key(i));
        EXPECT_EQ(value < 0 ? -1 : value, webSocketErrorCode(value));
        EXPECT_STREQ(qtErrors.key(i), socketErrorName(value));
        largest = std::max(largest, value);
    }
    ASSERT_EQ(QAbstractSocket::TemporaryError, largest) << "Qt 5.15 names errors up to 22";
    for (const int value : {largest + 1, largest + 2, 99, 1000, -2, -100}) {
        EXPECT_EQ(-1, webSocketErrorCode(value)) << value;
        EXPECT_STREQ("Unknown", socketErrorName(value)) << value;
    }
}

}  // namespace
