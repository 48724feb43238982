#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "network/HTTPSunkBody.h"
#include "support/LogCapture.h"
#include "support/WebSocketFixture.h"

namespace {

using namespace std::chrono_literals;
using network::AsyncWebSocket;
using network::ITCPSocket;
using networktest::Bytes;
using networktest::Pattern;
using networktest::Received;
using networktest::Text;
using Payload = core::NonInitializingBuffer<unsigned char>;

class AsyncWebSocketTest : public networktest::WebSocketFixture {};

TEST_F(AsyncWebSocketTest, EchoesOfEverySizeArriveExactPlainAndTls) {
    for (const std::string server : {"ws", "wss"}) {
        auto socket = make();
        ASSERT_EQ(connect(socket, url(server, "/echo"), {{"b-late", "3"}, {"X-Probe", "2"}, {"A-Early", "1"}}),
                  101u)
            << server;
        for (const std::size_t size : {0, 125, 126, 65535, 65536, 1 << 20}) {
            const std::string payload = Pattern(size);
            ASSERT_EQ(send(socket, payload), 0u) << server << " " << size;
            const auto echoed = receive(socket);
            ASSERT_EQ(echoed.code, 0u) << server << " " << size;
            EXPECT_TRUE(echoed.payload == payload) << server << ": the echo of " << size << " bytes differs";
        }
    }
    // Caller headers follow the protocol's own, in byte order of their names.
    const auto heads = journal("headers");
    ASSERT_EQ(heads.size(), 2u);
    for (const auto& head : heads) {
        EXPECT_NE(head.find("Sec-WebSocket-Version: 13\nA-Early: 1\nX-Probe: 2\nb-late: 3\n"), std::string::npos)
            << head;
    }
}

// With a small send buffer the socket takes part of a large frame at once and
// the rest is queued; frames sent meanwhile queue behind it.
TEST_F(AsyncWebSocketTest, FramesTheSocketTakesInPartsGoOutWholeAndInOrder) {
    auto socket = open(url("ws", "/echo"));
    socket->GetSocket()->GetTCPStream().set_option(boost::asio::socket_base::send_buffer_size(4096));
    const std::vector<std::string> messages{Pattern(1 << 20), "short", Pattern(70000)};
    int sent = 0;
    for (const auto& message : messages) {
        socket->Send(Bytes(message), [&](ITCPSocket::ErrorCode code) { sent += code == 0 ? 1 : 100; });
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const auto echoed = receive(socket);
        ASSERT_EQ(echoed.code, 0u) << i;
        EXPECT_TRUE(echoed.payload == messages[i]) << "echo " << i << " differs, " << echoed.payload.size() << " bytes";
    }
    EXPECT_TRUE(loop_->runUntil([&] { return sent >= 3; }));
    EXPECT_EQ(sent, 3);
}

// Sends from within a receive callback, each answering the previous echo:
// every one reports once, never from inside Send itself.
TEST_F(AsyncWebSocketTest, SendsFromAReceiveCallbackReportAfterSendReturns) {
    auto socket = open(url("ws", "/echo"));
    int reported = 0;
    int echoes = 0;
    bool insideSend = false;
    bool reportedInside = false;
    std::function<void()> next = [&] {
        insideSend = true;
        socket->Send(Bytes("round " + std::to_string(echoes)), [&](ITCPSocket::ErrorCode code) {
            reportedInside = reportedInside || insideSend;
            reported += code == 0 ? 1 : 100;
        });
        insideSend = false;
        socket->Receive([&](ITCPSocket::ErrorCode code, Payload&& echo) {
            if (code == 0 && Text(echo) == "round " + std::to_string(echoes) && ++echoes < 50) {
                next();
            }
        });
    };
    next();
    EXPECT_TRUE(loop_->runUntil([&] { return echoes == 50 && reported == 50; })) << echoes << " " << reported;
    EXPECT_FALSE(reportedInside);
}

TEST_F(AsyncWebSocketTest, AServerPingIsAnsweredWhileAReceiveIsPending) {
    auto socket = open(url("ws", "/ping"));
    const auto next = receive(socket);
    EXPECT_EQ(next.code, 0u);
    EXPECT_EQ(next.payload, "after pong");
    EXPECT_EQ(journal("pong"), std::vector<std::string>{"true"});
}

TEST_F(AsyncWebSocketTest, ClosingHandshakesOfEitherSideEndTheReceiveWithNine) {
    struct Case {
        std::string server;
        std::string path;
        bool clientCloses;
        std::string codeSeen;  // the close code the server journals
        std::uint16_t codeHere;
    };
    const Case cases[] = {{"ws", "/echo", true, "1005", 1005},
                          {"wss", "/echo", true, "1005", 1005},
                          {"ws", "/close/4001", false, "4001", 4001},
                          {"wss", "/close/4002", false, "4002", 4002}};
    for (const auto& c : cases) {
        auto socket = open(url(c.server, c.path));
        auto pending = startReceive(socket);
        bool closeWritten = false;
        if (c.clientCloses) {
            socket->Close([&] { closeWritten = true; });
        }
        ASSERT_TRUE(loop_->runUntil([&] { return pending->done; })) << c.server << c.path;
        EXPECT_EQ(pending->code, ITCPSocket::kClosed) << c.server << c.path;
        EXPECT_EQ(closeWritten, c.clientCloses) << c.server << c.path;
        EXPECT_FALSE(socket->IsOpen());
        EXPECT_EQ(socket->CloseCode(), c.codeHere) << c.server << c.path;
        EXPECT_TRUE(waitForJournal("close", c.codeSeen)) << c.server << c.path;
        EXPECT_FALSE(socket->GetSocket()->IsConnected()) << c.server << c.path;
        EXPECT_EQ(receive(socket).code, ITCPSocket::kClosed) << "a Receive after the close";
    }
}

TEST_F(AsyncWebSocketTest, MessagesSentRightAfterTheUpgradeArriveIntact) {
    // The raw server writes its 101 and two messages at once.
    auto raw = open(url("raw", "/greeting"));
    EXPECT_EQ(receive(raw).payload, "first");
    EXPECT_EQ(receive(raw).payload, "second");
    auto greeted = open(url("ws", "/greet"));
    EXPECT_EQ(receive(greeted).payload, "welcome");
    ASSERT_EQ(send(greeted, "and back"), 0u);
    EXPECT_EQ(receive(greeted).payload, "and back");
}

TEST_F(AsyncWebSocketTest, FragmentsArriveAsOneMessageAndAMaskedFrameFailsTheConnection) {
    auto socket = open(url("raw", "/fragments"));
    const auto joined = receive(socket);
    EXPECT_EQ(joined.code, 0u);
    EXPECT_EQ(joined.payload, "fragmented");
    const auto large = receive(socket);
    ASSERT_EQ(large.payload.size(), 70000u);
    EXPECT_EQ(static_cast<unsigned char>(large.payload[69999]), 69999 % 251);
    EXPECT_TRUE(waitForJournal("frame", "10:70")) << "the ping between the fragments is answered";

    // A server masks nothing: a client closes with 1002 on a masked frame.
    auto masked = open(url("raw", "/masked"));
    const auto refused = receive(masked);
    EXPECT_EQ(refused.code, ITCPSocket::kReadFailed);
    EXPECT_EQ(refused.payload, "");
    EXPECT_EQ(masked->CloseCode(), 1002);
    EXPECT_TRUE(waitForJournal("frame", "8:03ea"));
}

// The body of a refusal is read and dropped: the response keeps the start
// of a plain one, nothing of a coded one, which is not decoded either.
TEST_F(AsyncWebSocketTest, RefusedUpgradesReportTheirCodeAndLogWhy) {
    struct Case {
        std::string url;
        network::HTTPStatusCode status;
        std::string logged;
        std::string body = "";  // of the response handed on
    };
    const Case cases[] = {
        {url("raw", "/wrong-accept"), 400,
         "Invalid value for header 'Sec-WebSocket-Accept' while negotiating web socket connection"},
        {url("raw", "/missing-accept"), 400,
         "Missing header 'Sec-WebSocket-Accept' while negotiating web socket connection"},
        {"ws://127.0.0.1:1/", network::httpstatus::kConnectFailed,
         "Connection failed while negotiating web socket connection"},
        {"ws://127.0.0.1:99999/", network::httpstatus::kNotSent,
         "Refusing web socket connection: <ws://127.0.0.1:99999/> is not a valid URL"},
        {url("raw", "/status/404/coded"), 404,
         "Unexpected HTTP status code 404 while negotiating web socket connection"},
        {url("raw", "/status/500/page"), 500,
         "Unexpected HTTP status code 500 while negotiating web socket connection",
         std::string(network::HTTPSunkBody::kKeptStart, 'p')},
    };
    for (const auto& c : cases) {
        const auto run = testsupport::runLogged([&] {
            auto socket = make();
            std::string body;
            const auto status = connect(socket, c.url, {}, &body);
            return status == c.status && !socket->IsOpen() && body == c.body ? 0 : 1;
        });
        EXPECT_EQ(run.result.exitCode, 0) << c.url << "\n" << run.text();
        EXPECT_TRUE(run.has("error", "AsyncWebSocket", c.logged)) << c.url << "\n" << run.text();
    }
}

TEST_F(AsyncWebSocketTest, ProtocolFaultsCloseWithTheirCodeAndEndTheReceiveWithSeven) {
    struct Case {
        std::string path;
        std::string closeFrame;  // as the raw server journals it
        std::uint16_t code;
    };
    const Case cases[] = {{"/huge-length", "8:03ea", 1002},
                          {"/over-limit", "8:03f1", 1009},
                          {"/fragments-over-limit", "8:03f1", 1009},
                          {"/reserved-opcode", "8:03ea", 1002}};
    for (const auto& c : cases) {
        auto socket = make();
        socket->SetMessageLimit(1000);
        ASSERT_EQ(connect(socket, url("raw", c.path)), 101u) << c.path;
        const auto failed = receive(socket);
        EXPECT_EQ(failed.code, ITCPSocket::kReadFailed) << c.path;
        EXPECT_TRUE(failed.payload.empty()) << c.path;
        EXPECT_EQ(socket->CloseCode(), c.code) << c.path;
        EXPECT_FALSE(socket->GetSocket()->IsConnected()) << c.path;
        EXPECT_TRUE(waitForJournal("frame", c.closeFrame)) << c.path;
    }
}

TEST_F(AsyncWebSocketTest, AnUnansweredCloseLetsTheSocketGoAfterTheTimeOut) {
    // With a Receive pending, and with none.
    for (const bool receiving : {true, false}) {
        auto socket = make();
        socket->GetSocket()->SetTimeout(400);
        ASSERT_EQ(connect(socket, url("raw", "/no-close-answer")), 101u);
        std::shared_ptr<Received> pending = receiving ? startReceive(socket) : nullptr;
        bool closeWritten = false;
        const auto started = std::chrono::steady_clock::now();
        socket->Close([&] { closeWritten = true; });
        EXPECT_TRUE(loop_->runUntil([&] { return !socket->GetSocket()->IsConnected(); }, 5s))
            << "receiving " << receiving;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
        EXPECT_TRUE(closeWritten);
        if (pending) {
            EXPECT_TRUE(loop_->runUntil([&] { return pending->done; }, 5s));
            EXPECT_EQ(pending->code, ITCPSocket::kClosed);
        }
        EXPECT_TRUE(waitForJournal("frame", "8:"));
    }
}

}  // namespace
