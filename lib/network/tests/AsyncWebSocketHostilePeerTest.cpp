#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "support/ProxyTestSupport.h"
#include "support/WebSocketFixture.h"

namespace {

using namespace std::chrono_literals;
using network::AsyncWebSocket;
using network::ITCPSocket;
using networktest::Received;
using networktest::Text;
using Payload = core::NonInitializingBuffer<unsigned char>;

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 0x0F];
    }
    return hex;
}

// An unmasked server frame (payloads under 126 bytes) in hex, for the raw
// server's "/bytes/HEX".
std::string Frame(unsigned first, const std::string& payload) {
    return Hex(std::string{static_cast<char>(first), static_cast<char>(payload.size())} + payload);
}

// The raw server's answers and the web socket against them, as a hostile
// peer would play them.
class AsyncWebSocketHostilePeerTest : public networktest::WebSocketFixture {
protected:
    // The frames the raw server journaled on its latest connection for
    // `path`, as "opcode:payload-hex".
    std::vector<std::string> framesOf(const std::string& path) const {
        std::vector<std::string> frames;
        std::ifstream in(peer_.journal());
        std::string line;
        const std::string opened = "{\"raw\": \"" + path + "\"}";
        bool mine = false;
        while (std::getline(in, line)) {
            rapidjson::Document entry;
            entry.Parse(line.c_str());
            if (!entry.IsObject()) {
                continue;
            }
            if (entry.HasMember("raw")) {
                mine = line == opened;
                if (mine) {
                    frames.clear();
                }
            } else if (mine && entry.HasMember("frame")) {
                frames.push_back(std::to_string(entry["frame"].GetInt()) + ":" + entry["payload"].GetString());
            }
        }
        return frames;
    }

    bool waitForFrame(const std::string& path, const std::string& frame) const {
        return loop_->runUntil([&] {
            const auto frames = framesOf(path);
            return std::find(frames.begin(), frames.end(), frame) != frames.end();
        });
    }
};

// 200,000 empty messages in one write, each asked for from the previous
// one's callback: none is delivered inside a Receive, none inside another.
TEST_F(AsyncWebSocketHostilePeerTest, ABurstOfFramesIsDeliveredOneCallbackAtATime) {
    auto socket = open(url("raw", "/burst"));
    int messages = 0;
    int depth = 0;
    int deepest = 0;
    bool insideReceive = false;
    bool calledInside = false;
    int end = -1;
    std::function<void()> next = [&] {
        insideReceive = true;
        socket->Receive([&](ITCPSocket::ErrorCode code, Payload&& payload) {
            calledInside = calledInside || insideReceive;
            deepest = std::max(deepest, ++depth);
            if (code == ITCPSocket::kSuccess && payload.empty()) {
                ++messages;
                next();
            } else {
                end = static_cast<int>(code);
            }
            --depth;
        });
        insideReceive = false;
    };
    next();
    ASSERT_TRUE(loop_->runUntil([&] { return end != -1; }, 120s)) << messages << " messages";
    EXPECT_EQ(messages, 200000);
    EXPECT_EQ(end, static_cast<int>(ITCPSocket::kClosed));
    EXPECT_EQ(socket->CloseCode(), 1000);
    EXPECT_EQ(deepest, 1) << "a callback ran inside another";
    EXPECT_FALSE(calledInside) << "a callback ran inside Receive";
}

// A Receive made while one is pending is refused from the event loop; the
// pending one goes on and gets the next message.
TEST_F(AsyncWebSocketHostilePeerTest, ASecondReceiveIsRefusedAndTheFirstGoesOn) {
    auto socket = open(url("ws", "/echo"));
    auto first = startReceive(socket);
    bool insideReceive = true;
    bool calledInside = false;
    int refused = -1;
    socket->Receive([&](ITCPSocket::ErrorCode code, Payload&& payload) {
        calledInside = insideReceive;
        refused = payload.empty() ? static_cast<int>(code) : -2;
    });
    insideReceive = false;
    ASSERT_TRUE(loop_->runUntil([&] { return refused != -1; }));
    EXPECT_EQ(refused, static_cast<int>(AsyncWebSocket::kReceivePending));
    EXPECT_FALSE(calledInside);
    EXPECT_FALSE(first->done);
    ASSERT_EQ(send(socket, "after the refusal"), 0u);
    ASSERT_TRUE(loop_->runUntil([&] { return first->done; }));
    EXPECT_EQ(first->code, 0u);
    EXPECT_EQ(first->payload, "after the refusal");
}

// The server says nothing for longer than the socket's time-out: the
// connection stays, and the message then comes.
TEST_F(AsyncWebSocketHostilePeerTest, AQuietConnectionOutlastsTheSocketTimeOut) {
    auto socket = make();
    socket->GetSocket()->SetTimeout(300);
    ASSERT_EQ(connect(socket, url("raw", "/late")), 101u);
    const auto late = receive(socket, 5s);
    EXPECT_EQ(late.code, 0u);
    EXPECT_EQ(late.payload, "late");
}

TEST_F(AsyncWebSocketHostilePeerTest, CloseFramesAreCheckedBeforeTheyAreEchoed) {
    struct Case {
        std::string payload;
        std::string answer;  // the Close frame the server gets back
        ITCPSocket::ErrorCode end;
        std::uint16_t closeCode;
    };
    const Case cases[] = {
        {"", "8:", ITCPSocket::kClosed, 1005},
        {"\x03\xe8", "8:03e8", ITCPSocket::kClosed, 1000},
        {"\x0f\xa0" "bye \xc3\xa9", "8:0fa062796520c3a9", ITCPSocket::kClosed, 4000},
        {"\x03\xf4", "8:03f4", ITCPSocket::kClosed, 1012},
        {"\x0b\xb8", "8:0bb8", ITCPSocket::kClosed, 3000},
        {"\x03", "8:03ea", ITCPSocket::kReadFailed, 1002},
        {"\x03\xe7", "8:03ea", ITCPSocket::kReadFailed, 1002},
        {"\x03\xec", "8:03ea", ITCPSocket::kReadFailed, 1002},
        {"\x03\xed", "8:03ea", ITCPSocket::kReadFailed, 1002},
        {"\x03\xee", "8:03ea", ITCPSocket::kReadFailed, 1002},
        {"\x03\xf7", "8:03ea", ITCPSocket::kReadFailed, 1002},
        {"\x0b\xb7", "8:03ea", ITCPSocket::kReadFailed, 1002},
        {"\x13\x88", "8:03ea", ITCPSocket::kReadFailed, 1002},
        {"\x03\xe8\xff", "8:03ef", ITCPSocket::kReadFailed, 1007},
        {"\x03\xe8o\xc3", "8:03ef", ITCPSocket::kReadFailed, 1007},
    };
    for (const auto& c : cases) {
        const std::string path = "/bytes/" + Frame(0x88, c.payload);
        auto socket = make();
        ASSERT_EQ(connect(socket, url("raw", path)), 101u) << path;
        const auto ended = receive(socket);
        EXPECT_EQ(ended.code, c.end) << path;
        EXPECT_EQ(socket->CloseCode(), c.closeCode) << path;
        EXPECT_TRUE(waitForFrame(path, c.answer)) << path << " answered " << ::testing::PrintToString(framesOf(path));
        EXPECT_EQ(framesOf(path).size(), 1u) << path << " answered " << ::testing::PrintToString(framesOf(path));
    }
}

TEST_F(AsyncWebSocketHostilePeerTest, TextMessagesMustBeUtf8WholeAndAcrossFragments) {
    struct Case {
        std::string name;
        std::string frames;  // in hex
        std::string delivered;  // "" when the connection fails with 1007
    };
    const Case cases[] = {
        {"valid", Frame(0x81, "h\xc3\xa9llo \xe2\x82\xac\xf0\x9d\x84\x9e"),
         "h\xc3\xa9llo \xe2\x82\xac\xf0\x9d\x84\x9e"},
        {"split inside a character", Frame(0x01, "h\xc3") + Frame(0x00, "") + Frame(0x80, "\xa9"), "h\xc3\xa9"},
        {"binary is not checked", Frame(0x82, "\xff\xfe"), "\xff\xfe"},
        {"invalid byte", Frame(0x81, "ok \xff"), ""},
        {"overlong", Frame(0x81, "\xc0\xaf"), ""},
        {"surrogate", Frame(0x81, "\xed\xa0\x80"), ""},
        {"past U+10FFFF", Frame(0x81, "\xf4\x90\x80\x80"), ""},
        {"ends inside a character", Frame(0x81, "ab\xe2\x82"), ""},
        {"broken across fragments", Frame(0x01, "a\xe2\x82") + Frame(0x80, "x"), ""},
        {"last fragment ends inside a character", Frame(0x01, "a") + Frame(0x80, "\xe2"), ""},
    };
    for (const auto& c : cases) {
        const std::string path = "/bytes/" + c.frames;
        auto socket = make();
        ASSERT_EQ(connect(socket, url("raw", path)), 101u) << c.name;
        const auto got = receive(socket);
        if (!c.delivered.empty()) {
            EXPECT_EQ(got.code, 0u) << c.name;
            EXPECT_EQ(got.payload, c.delivered) << c.name;
            continue;
        }
        EXPECT_EQ(got.code, ITCPSocket::kReadFailed) << c.name;
        EXPECT_EQ(socket->CloseCode(), 1007) << c.name;
        EXPECT_TRUE(waitForFrame(path, "8:03ef")) << c.name;
    }
}

// A 101 that does not upgrade to a web socket, or grants an extension or a
// subprotocol the request did not ask for, fails the opening with 400.
TEST_F(AsyncWebSocketHostilePeerTest, TheHandshakeRefusesAnswersThatDoNotUpgradeOrGrantWhatWasNotAsked) {
    struct Case {
        std::string variant;
        std::map<std::string, std::string> asked;
        network::HTTPStatusCode status;
        std::string logged;
    };
    const std::string negotiating = " while negotiating web socket connection";
    const Case cases[] = {
        {"no-upgrade", {}, 400, "Missing or wrong header 'Upgrade'" + negotiating},
        {"upgrade-h2c", {}, 400, "Missing or wrong header 'Upgrade'" + negotiating},
        {"no-connection", {}, 400, "Missing token 'upgrade' in header 'Connection'" + negotiating},
        {"connection-keep-alive", {}, 400, "Missing token 'upgrade' in header 'Connection'" + negotiating},
        {"deflate", {}, 400, "Extension 'permessage-deflate' not asked for" + negotiating},
        {"chat", {}, 400, "Subprotocol 'chat' not asked for" + negotiating},
        {"chat", {{"Sec-WebSocket-Protocol", "superchat"}}, 400, "Subprotocol 'chat' not asked for" + negotiating},
        {"upgrade-mixed-case", {}, 101, ""},
        {"connection-list", {}, 101, ""},
        {"chat", {{"Sec-WebSocket-Protocol", "superchat, chat"}}, 101, ""},
        {"deflate", {{"sec-websocket-extensions", "permessage-deflate"}}, 101, ""},
    };
    for (const auto& c : cases) {
        const auto run = testsupport::runLogged([&] {
            auto socket = make();
            const auto status = connect(socket, url("raw", "/answer/" + c.variant), c.asked);
            if (status != c.status || socket->IsOpen() != (status == 101)) {
                return 1;
            }
            // A refused upgrade leaves nothing open.
            return status == 101 || loop_->runUntil([&] { return !socket->GetSocket()->IsConnected(); }) ? 0 : 2;
        });
        const auto what = c.variant + " " + ::testing::PrintToString(c.asked);
        EXPECT_EQ(run.result.exitCode, 0) << what << "\n" << run.text();
        if (!c.logged.empty()) {
            EXPECT_TRUE(run.has("error", "AsyncWebSocket", c.logged)) << what << "\n" << run.text();
        } else {
            EXPECT_EQ(run.countOnChannel("AsyncWebSocket"), 0) << what << "\n" << run.text();
        }
    }
}

TEST_F(AsyncWebSocketHostilePeerTest, EachFrameHasAMaskingKeyOfItsOwn) {
    auto socket = open(url("raw", "/masks"));
    for (const std::string text : {"one", "two", "three", "four"}) {
        ASSERT_EQ(send(socket, text), 0u) << text;
    }
    ASSERT_TRUE(waitForFrame("/masks", "2:" + Hex("four")));
    const auto masks = journal("mask");
    ASSERT_EQ(masks.size(), 4u);
    EXPECT_EQ(std::set<std::string>(masks.begin(), masks.end()).size(), masks.size())
        << ::testing::PrintToString(masks);
}

// After this side's Close the server hangs up without its own: the Receive
// ends with 9 (the handshake is over) and the close code says no Close
// frame came.
TEST_F(AsyncWebSocketHostilePeerTest, AHangUpAfterTheCloseLeavesTheCloseCode1006) {
    auto socket = open(url("raw", "/hang-up-on-close"));
    auto pending = startReceive(socket);
    socket->Close([] {});
    ASSERT_TRUE(loop_->runUntil([&] { return pending->done; }));
    EXPECT_EQ(pending->code, ITCPSocket::kClosed);
    EXPECT_EQ(socket->CloseCode(), 1006);
}

// Scheme and host are compared in lower case: TLS for "WSS", and the
// server's name checked against the certificate's.
TEST_F(AsyncWebSocketHostilePeerTest, AnUpperCaseUrlConnectsAsItsLowerCaseForm) {
    struct Case {
        std::string url;
        bool tls;
    };
    const Case cases[] = {{"WSS://LOCALHOST:" + std::to_string(peer_.port("wss")) + "/echo", true},
                          {"Ws://127.0.0.1:" + std::to_string(peer_.port("ws")) + "/echo", false}};
    for (const auto& c : cases) {
        auto socket = make();
        ASSERT_EQ(connect(socket, c.url), 101u) << c.url;
        EXPECT_EQ(socket->GetSocket()->IsSecure(), c.tls) << c.url;
        ASSERT_EQ(send(socket, "upper"), 0u) << c.url;
        EXPECT_EQ(receive(socket).payload, "upper") << c.url;
    }
}

// Through the test peer's proxy, which leads target.test's ports 443 and 80
// to the TLS and plain echo servers: a default port is left out of "Host".
TEST_F(AsyncWebSocketHostilePeerTest, TheSchemesDefaultPortIsLeftOutOfTheHostHeader) {
    networktest::TestProxyAuthenticator proxy(L"anna", L"open-sesame",
                                              "127.0.0.1:" + std::to_string(peer_.port("proxy")));
    const std::string ws = std::to_string(peer_.port("ws"));
    struct Case {
        std::string url;
        std::string host;
    };
    const Case cases[] = {{"wss://target.test:443/echo", "target.test"},
                          {"wss://target.test/echo", "target.test"},
                          {"ws://target.test:80/echo", "target.test"},
                          {"ws://target.test:" + ws + "/echo", "target.test:" + ws}};
    for (const auto& c : cases) {
        auto socket = std::make_shared<AsyncWebSocket>(loop_->service, loop_->tls, proxy.authenticator,
                                                       loop_->connectivity);
        const auto before = journal("headers").size();
        ASSERT_EQ(connect(socket, c.url), 101u) << c.url;
        const auto heads = journal("headers");
        ASSERT_EQ(heads.size(), before + 1) << c.url;
        EXPECT_NE(("\n" + heads.back()).find("\nHost: " + c.host + "\n"), std::string::npos)
            << c.url << "\n" << heads.back();
    }
}

TEST_F(AsyncWebSocketHostilePeerTest, AProxyThatRefusesTheCredentialsEndsTheOpeningWith407) {
    const std::string proxyAddress = "127.0.0.1:" + std::to_string(peer_.port("proxy"));
    const auto run = testsupport::runLogged([&] {
        networktest::TestProxyAuthenticator proxy(L"anna", L"wrong", proxyAddress);
        auto socket = std::make_shared<AsyncWebSocket>(loop_->service, loop_->tls, proxy.authenticator,
                                                       loop_->connectivity);
        return connect(socket, "ws://target.test:80/echo") == 407 && !socket->IsOpen() ? 0 : 1;
    });
    EXPECT_EQ(run.result.exitCode, 0) << run.text();
    EXPECT_TRUE(run.has("debug", "AsyncWebSocket",
                        "Authentication required when connecting to web socket proxy <127.0.0.1:" +
                            std::to_string(peer_.port("proxy")) + ">"))
        << run.text();
    EXPECT_TRUE(waitForJournal("auth", "wrong"));
}

// 4 MiB in one frame, written at once: its payload is read straight into
// the message, each turn of the event loop reading what has come, not a
// 64 KiB buffer at a time (which took over 80 turns).
TEST_F(AsyncWebSocketHostilePeerTest, ALargeFrameTakesFewTurnsOfTheEventLoop) {
    auto socket = open(url("raw", "/large"));
    auto received = startReceive(socket);
    int turns = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!received->done && std::chrono::steady_clock::now() < deadline) {
        turns += static_cast<int>(loop_->service->GetIOContext().run_one_for(20ms));
    }
    ASSERT_TRUE(received->done);
    ASSERT_EQ(received->payload.size(), 4u << 20);
    for (const std::size_t at : {std::size_t{0}, std::size_t{65535}, std::size_t{(4u << 20) - 1}}) {
        EXPECT_EQ(static_cast<unsigned char>(received->payload[at]), at % 251) << at;
    }
    EXPECT_LE(turns, 32);
}

}  // namespace
