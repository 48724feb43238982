#include <gtest/gtest.h>

#include <thread>

#include "network/AsyncNetworkFactory.h"
#include "support/HTTPConnectionTestSupport.h"

namespace {

using namespace std::chrono_literals;
using networktest::ConnectedSocket;
using networktest::Fetch;
using networktest::HTTPTestPeer;
using networktest::Ok;
using networktest::OnDemandConnection;
using networktest::PeerStep;
using networktest::Request;
using networktest::SocketTestLoop;

TEST(AsyncHTTPConnectionTest, AStaleKeptConnectionIsRetriedOnceSilently) {
    // The first connection answers once and goes away without a word; the
    // second answers; the third never answers.
    HTTPTestPeer peer({{{Ok("first"), true}}, {{Ok("second")}, {"", true}}, {{"", true}}});
    SocketTestLoop loop;
    auto connection = OnDemandConnection(loop);
    EXPECT_EQ(Fetch(loop, connection, peer.url("/a")).body, "first");
    std::this_thread::sleep_for(100ms);  // let the close reach the client's socket
    const auto retried = Fetch(loop, connection, peer.url("/b"), Request(connection, "POST", "data"));
    EXPECT_EQ(retried.code, 200u);
    EXPECT_EQ(retried.body, "second");
    // A second failure in a row on the retried connection is reported.
    std::this_thread::sleep_for(100ms);
    const auto failed = Fetch(loop, connection, peer.url("/c"));
    EXPECT_EQ(failed.code, 5u);
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].first, 1);
    EXPECT_NE(requests[1].second.find("POST /b"), std::string::npos);
    EXPECT_EQ(requests[2].first, 1);
    EXPECT_EQ(requests[3].first, 2);
}

TEST(AsyncHTTPConnectionTest, CloseDuringARequestEndsItWithoutRetry) {
    SocketTestLoop loop;
    for (const bool abort : {false, true}) {
        // A retry would find an answer on a second connection.
        HTTPTestPeer peer({{PeerStep{"", false, false, true}}, {{Ok("retried")}}});
        auto connection = OnDemandConnection(loop);
        bool done = false;
        network::HTTPStatusCode code = 0;
        connection->Submit(peer.url("/slow"), Request(connection, "POST", "once"),
                           [&](network::HTTPStatusCode c, std::unique_ptr<network::IHTTPResponse>) {
                               done = true;
                               code = c;
                           });
        loop.runUntil([&] { return !peer.requests().empty(); }, 10s);
        abort ? connection->Abort() : connection->Close();
        ASSERT_TRUE(loop.runUntil([&] { return done; }, 10s)) << "abort " << abort;
        EXPECT_EQ(code, 5u) << "abort " << abort;
        loop.runUntil([] { return false; }, 200ms);
        EXPECT_EQ(peer.requests().size(), 1u) << "abort " << abort;
        if (!abort) {
            EXPECT_EQ(connection->GetSocket(), nullptr);
        }
    }
}

TEST(AsyncHTTPConnectionTest, AnAnswerThatNeverComesEndsWithTheSocketsTimeOut) {
    HTTPTestPeer peer({{PeerStep{"", false, false, true}}});
    SocketTestLoop loop;
    auto socket = ConnectedSocket(loop, peer, 300);
    ASSERT_TRUE(socket);
    auto connection = network::AsyncHTTPConnection::Create(socket, false);
    const auto started = std::chrono::steady_clock::now();
    const auto fetched = Fetch(loop, connection, peer.url("/"), nullptr, 10s);
    EXPECT_TRUE(fetched.done);
    EXPECT_EQ(fetched.code, 5u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST(AsyncHTTPConnectionTest, AFailedConnectEndsWithThreeAGoneSocketWithOne) {
    SocketTestLoop loop;
    HTTPTestPeer peer({});  // closes every connection at once
    auto connection = OnDemandConnection(loop);
    EXPECT_EQ(Fetch(loop, connection, "http://127.0.0.1:1/").code, 3u);  // nothing listens
    EXPECT_EQ(Fetch(loop, connection, peer.url("/")).code, 5u);
    auto supplied = network::AsyncHTTPConnection::Create(loop.socket(), false);
    supplied->Close();
    loop.runUntil([&] { return supplied->GetSocket() == nullptr; }, 2s);
    EXPECT_EQ(Fetch(loop, supplied, "http://127.0.0.1:1/").code, 1u);
}

// Each step of an exchange has the socket's time-out, not the exchange as a
// whole: an answer dripped for longer than one time-out arrives whole.
TEST(AsyncHTTPConnectionTest, EveryStepHasTheTimeOutNotTheWholeExchange) {
    const std::string body(1500, 'd');
    HTTPTestPeer peer({{{Ok(body), false, true}}});
    SocketTestLoop loop;
    auto socket = ConnectedSocket(loop, peer, 300);
    ASSERT_TRUE(socket);
    auto connection = network::AsyncHTTPConnection::Create(socket, false);
    const auto started = std::chrono::steady_clock::now();
    const auto fetched = Fetch(loop, connection, peer.url("/"));
    ASSERT_GT(std::chrono::steady_clock::now() - started, 400ms) << "the drip was too quick to tell";
    EXPECT_EQ(fetched.code, 200u);
    EXPECT_EQ(fetched.body, body);
}

// The time-out holds for a request on a kept connection whatever the earlier
// ones left behind: a time-out made shorter since, and a deadline that
// passed while the connection was idle.
TEST(AsyncHTTPConnectionTest, TheTimeOutHoldsForEveryRequestOfAKeptConnection) {
    struct Case {
        const char* name;
        std::uint64_t firstTimeoutMs;
        std::chrono::milliseconds idle;
    };
    for (const Case c : {Case{"made shorter after a request", 20000, 0ms},
                         Case{"passed while idle", 300, 700ms}}) {
        HTTPTestPeer peer({{{Ok("a")}, {"", false, false, true}}});
        SocketTestLoop loop;
        auto socket = ConnectedSocket(loop, peer, c.firstTimeoutMs);
        ASSERT_TRUE(socket) << c.name;
        auto connection = network::AsyncHTTPConnection::Create(socket, false);
        connection->SetKeepAlive(true);
        ASSERT_EQ(Fetch(loop, connection, peer.url("/a")).body, "a") << c.name;
        loop.runUntil([] { return false; }, c.idle);
        socket->SetTimeout(300);
        const auto started = std::chrono::steady_clock::now();
        const auto fetched = Fetch(loop, connection, peer.url("/b"), nullptr, 30s);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(fetched.code, 5u) << c.name;
        EXPECT_GT(took, 250ms) << c.name;
        EXPECT_LT(took, 5s) << c.name;
    }
}

// A live socket serves only its own endpoint: a request for another host or
// another port of the same host is refused with code 1 (nothing is sent on
// the kept socket) and the next request connects afresh.
TEST(AsyncHTTPConnectionTest, AKeptSocketServesItsOwnEndpointOnly) {
    SocketTestLoop loop;
    struct Case {
        const char* name;
        bool otherPort;  // else another host name for the same address
    };
    for (const Case c : {Case{"another port", true}, Case{"another host", false}}) {
        HTTPTestPeer first({{{Ok("a")}, {Ok("never")}}, {{Ok("other host")}}});
        HTTPTestPeer second({{{Ok("other port")}}});
        const std::string other = c.otherPort ? second.url("/b") : first.url("/b", "localhost");
        auto connection = OnDemandConnection(loop);
        EXPECT_EQ(Fetch(loop, connection, first.url("/a")).body, "a") << c.name;
        EXPECT_EQ(Fetch(loop, connection, other).code, 1u) << c.name;
        const auto moved = Fetch(loop, connection, other);
        EXPECT_EQ(moved.code, 200u) << c.name;
        EXPECT_EQ(moved.body, c.otherPort ? "other port" : "other host") << c.name;
        const auto requests = first.requests();
        ASSERT_EQ(requests.size(), c.otherPort ? 1u : 2u) << c.name;
        EXPECT_EQ(requests[0].first, 0) << c.name;
        if (!c.otherPort) {
            EXPECT_EQ(requests[1].first, 1) << c.name << ": a new connection";
        }
    }
}

// A request goes once more, on a new connection, only when a kept socket
// turns out stale before any byte of the answer; an answer cut short is an
// error, and a retried request is not sent a third time.
TEST(AsyncHTTPConnectionTest, ARequestIsSentAgainOnlyOnAStaleKeptSocket) {
    const std::string cut = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\npart";
    struct Case {
        const char* name;
        std::vector<std::vector<PeerStep>> script;
        std::size_t requests;
    };
    const Case cases[] = {
        {"cut short on the kept socket", {{{Ok("first")}, {cut, true}}, {{Ok("never")}}}, 2},
        // The stale socket's peer is gone: only the new connection logs /b.
        {"stale, then cut short on the new one",
         {{{Ok("first"), true}}, {{cut, true}}, {{Ok("never")}}}, 2},
        {"stale twice", {{{Ok("first"), true}}, {{"", true}}, {{Ok("never")}}}, 2},
    };
    SocketTestLoop loop;
    for (const auto& c : cases) {
        HTTPTestPeer peer(c.script);
        auto connection = OnDemandConnection(loop);
        EXPECT_EQ(Fetch(loop, connection, peer.url("/a")).body, "first") << c.name;
        loop.runUntil([] { return false; }, 100ms);  // let a close reach the client
        EXPECT_EQ(Fetch(loop, connection, peer.url("/b")).code, 5u) << c.name;
        loop.runUntil([] { return false; }, 100ms);
        const auto requests = peer.requests();
        EXPECT_EQ(requests.size(), c.requests) << c.name;
        for (const auto& [index, request] : requests) {
            EXPECT_LT(index, 2) << c.name << ": sent a third time";
        }
    }
}

// A kept connection on which something waits to be read (an answer nobody
// asked for) or that the peer has closed carries no further request: that
// goes out on a new connection, for a connection of its own and through the
// network factory's pool alike (RFC 9112 section 9.3), also when the next
// request is sent at once from the answer's callback.
TEST(AsyncHTTPConnectionTest, AKeptConnectionWithAStrayAnswerCarriesNoRequest) {
    const std::string timeout =
        "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    struct Case {
        const char* name;
        PeerStep first;
        bool chained;  // the second request is sent by the first one's callback
    };
    // The head alone first, so that the body is read on its own, with the
    // stray answer behind it in the same write.
    const PeerStep twoAnswers{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", false, false, false,
                              "first" + Ok("stray")};
    const Case cases[] = {
        {"a 408 on the idle connection, then its close", {Ok("first"), true, false, false, timeout},
         false},
        {"two answers in one write", twoAnswers, false},
        {"two answers in one write, the next request at once", twoAnswers, true},
    };
    SocketTestLoop loop;
    for (const auto& c : cases) {
        for (const bool pooled : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (pooled ? ", pooled" : ""));
            HTTPTestPeer peer({{c.first}, {{Ok("second")}}});
            network::AsyncNetworkFactory factory(loop.service, nullptr);
            std::shared_ptr<network::IHTTPConnection> connection =
                pooled ? factory.CreateHTTPConnection() : OnDemandConnection(loop);
            const auto get = [&](const std::string& path) {
                bool done = false;
                std::string outcome;
                connection->Submit(peer.url(path), [&](network::HTTPStatusCode code,
                                                       std::unique_ptr<network::IHTTPResponse> response) {
                    done = true;
                    outcome = std::to_string(code);
                    if (response) {
                        const auto body = response->TakeBody();
                        outcome += ":" + std::string(body.begin(), body.end());
                    }
                });
                loop.runUntil([&] { return done; }, 10s);
                return outcome;
            };
            if (c.chained) {
                // The next request goes out from the first answer's callback,
                // at once: the read that ended the answer has seen the rest.
                std::string outcomes;
                connection->Submit(peer.url("/a"), [&](network::HTTPStatusCode code,
                                                       std::unique_ptr<network::IHTTPResponse>) {
                    outcomes += std::to_string(code) + " ";
                    connection->Submit(peer.url("/b"), [&](network::HTTPStatusCode next,
                                                           std::unique_ptr<network::IHTTPResponse> response) {
                        const auto body = response ? response->TakeBody()
                                                   : core::NonInitializingBuffer<unsigned char>();
                        outcomes += std::to_string(next) + ":" + std::string(body.begin(), body.end());
                    });
                });
                loop.runUntil([&] { return outcomes.find(':') != std::string::npos; }, 10s);
                EXPECT_EQ("200 200:second", outcomes);
            } else {
                EXPECT_EQ("200:first", get("/a"));
                // The stray bytes are on their way once the peer has sent them.
                loop.runUntil([&] { return peer.laterSent(); }, 10s);
                ASSERT_TRUE(peer.laterSent());
                EXPECT_EQ("200:second", get("/b"));
            }
            const auto requests = peer.requests();
            EXPECT_EQ(2u, requests.size());
            EXPECT_EQ(1, requests.back().first) << "the second request went out on the first connection";
        }
    }
}

}  // namespace
