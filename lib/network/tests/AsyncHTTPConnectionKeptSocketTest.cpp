#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "network/AsyncNetworkFactory.h"
#include "platform/security/TrustedCertificates.h"
#include "support/HTTPConnectionTestSupport.h"
#include "support/LogCapture.h"
#include "support/TestCertificates.h"

namespace {

using namespace std::chrono_literals;
using networktest::HTTPTestPeer;
using networktest::Ok;
using networktest::PeerStep;
using networktest::probe;
using networktest::SocketTestLoop;

// Blocks its caller, a callback on the loop's thread too, until `done`
// holds (a peer has logged what it did); bounded.
void Await(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
    }
}

// "<code>:<body>".
std::string Outcome(network::HTTPStatusCode code,
                    const std::unique_ptr<network::IHTTPResponse>& response) {
    const auto body =
        response ? response->TakeBody() : core::NonInitializingBuffer<unsigned char>();
    return std::to_string(code) + ":" + std::string(body.begin(), body.end());
}

// Scripted peers on loopback, plain or speaking TLS as "localhost" with a
// certificate of a test CA; the scenarios that trust the CA run in a child.
class AsyncHTTPConnectionKeptSocketTest : public ::testing::Test {
protected:
    void SetUp() override { certificates_.make("localhost", {"localhost", {"localhost"}}); }

    networktest::PeerTLS tls(bool secure) const {
        if (!secure) {
            return {};
        }
        return {certificates_.certificateFile("localhost"), certificates_.keyFile("localhost")};
    }
    void trustTheCA() const {
        platform::security::TrustedCertificates::setSearchList({certificates_.caFile()});
    }

    testsupport::TempDir folder_{"quorvane-kept-socket"};
    networktest::TestCertificates certificates_{folder_.path()};
};

// Whatever a server sent unasked behind an answer (a stray answer), and a
// sending side it shut, keep a kept connection from carrying the next
// request once they came in before that request is written: the request, a
// POST, goes out once, on a new connection, and its answer is that
// connection's, never the stray one. So for a connection of its own and
// through the pool, for a request sent later or from the delivery of the
// answer before it (its callback, another handle's, a queued request), plain
// and over TLS, where the stray answer came in with the answer and waits in
// the TLS layer. (A stray answer that comes in after the request went out
// is taken for its answer, as curl takes it.)
TEST_F(AsyncHTTPConnectionKeptSocketTest, NothingSentUnaskedIsTakenForTheNextAnswer) {
    enum class Next { Later, FromCallback, FromOtherHandle, Queued };
    struct Case {
        const char* name;
        bool secure;
        PeerStep first;
        Next next;
        bool pooled;
    };
    // Each answer names the peer's connection it came on.
    const std::string answer = Ok("first", "X-Connection: {connection}\r\n");
    const PeerStep strayLater{.response = answer, .later = Ok("STRAY")};
    const PeerStep strayWith{.response = answer, .then = Ok("STRAY")};
    const PeerStep shut{.response = answer, .shutdown = true};
    const Case cases[] = {
        {"stray answer, next from the callback", false, strayLater, Next::FromCallback, false},
        {"stray answer, next from the callback, pooled", false, strayLater, Next::FromCallback,
         true},
        {"stray answer, next from another handle", false, strayLater, Next::FromOtherHandle, true},
        {"stray answer, next queued", false, strayLater, Next::Queued, true},
        {"TLS, stray answer with the answer, next later", true, strayWith, Next::Later, false},
        {"TLS, stray answer with the answer, next later, pooled", true, strayWith, Next::Later,
         true},
        {"TLS, stray answer with the answer, next from the callback", true, strayWith,
         Next::FromCallback, false},
        {"TLS, stray answer later, next from the callback, pooled", true, strayLater,
         Next::FromCallback, true},
        {"sending side shut, next later", false, shut, Next::Later, false},
        {"sending side shut, next from the callback, pooled", false, shut, Next::FromCallback,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The first requests take a connection each (a queued one finds four
        // busy); the next request must take the connection after them. One
        // sent on their connections is logged, and never answered.
        const std::size_t first = c.next == Next::Queued ? 4 : 1;
        const PeerStep unanswered{.response = "", .hang = true};
        std::vector<std::vector<PeerStep>> script(first, {c.first, unanswered});
        script.push_back({{Ok("second")}});
        HTTPTestPeer peer(script, tls(c.secure));
        // Until what the peer does behind an answer on its connection has
        // come in (a stray answer in the same segment came with it).
        const auto arrived = [&](network::IHTTPResponse& response) {
            const int on = std::atoi(response.GetHeader("X-Connection").c_str());
            Await([&] {
                return c.first.shutdown ? peer.shutDownOn(on)
                                        : c.first.later.empty() || peer.laterSentOn(on);
            });
        };
        const auto run = testsupport::runLogged([&] {
            trustTheCA();
            SocketTestLoop loop;
            network::AsyncNetworkFactory factory(loop.service, nullptr);
            std::shared_ptr<network::IHTTPConnection> connection =
                c.pooled ? factory.CreateHTTPConnection() : networktest::OnDemandConnection(loop);
            const auto other =
                c.next == Next::FromOtherHandle ? factory.CreateHTTPConnection() : connection;
            std::string answers;
            std::size_t answered = 0;
            std::unique_ptr<network::IHTTPResponse> firstResponse;
            std::string next;
            const auto sendNext = [&] {
                auto request = other->CreateRequest();
                request->SetMethod("POST");
                request->SetBody(core::NonInitializingBuffer<unsigned char>(
                    reinterpret_cast<const unsigned char*>("data"), 4));
                other->Submit(peer.url("/b", "localhost"), std::move(request),
                              [&](network::HTTPStatusCode code,
                                  std::unique_ptr<network::IHTTPResponse> response) {
                                  next = Outcome(code, response);
                              });
            };
            for (std::size_t i = 0; i < first; ++i) {
                connection->Submit(peer.url("/a", "localhost"),
                                   [&](network::HTTPStatusCode code,
                                       std::unique_ptr<network::IHTTPResponse> response) {
                                       const bool firstAnswer = ++answered == 1 && response;
                                       if (firstAnswer && c.next != Next::Later) {
                                           arrived(*response);
                                           if (c.next != Next::Queued) {
                                               sendNext();
                                           }
                                       }
                                       answers += Outcome(code, response) + " ";
                                       if (firstAnswer) {
                                           firstResponse = std::move(response);
                                       }
                                   });
            }
            if (c.next == Next::Queued) {
                sendNext();
            }
            if (c.next == Next::Later) {
                loop.runUntil([&] { return answered == first; });
                if (firstResponse) {
                    arrived(*firstResponse);
                }
                loop.runUntil([] { return false; }, 300ms);
                sendNext();
            }
            loop.runUntil([&] { return !next.empty() && answered == first; }, 20s);
            probe("answers " + answers + "next " + next);
            return 0;
        });
        std::string expected = "answers ";
        for (std::size_t i = 0; i < first; ++i) {
            expected += "200:first ";
        }
        EXPECT_TRUE(run.has("info", "Probe", expected + "next 200:second")) << run.text();
        std::vector<int> posts;
        for (const auto& [index, request] : peer.requests()) {
            if (request.rfind("POST /b ", 0) == 0) {
                posts.push_back(index);
            }
        }
        EXPECT_EQ(std::vector<int>{static_cast<int>(first)}, posts)
            << "the connections the POST went out on";
    }
}

// An answer that ends its connection (it says so, or it is HTTP/1.0 without
// keep-alive) is delivered as soon as it is whole, while the server still
// holds the connection open, unread: the TLS close that waits for the
// server's close goes on behind, and the next request takes a new
// connection. An answer that keeps the connection leaves the next request
// on it, over TLS too: two GETs on one connection.
TEST_F(AsyncHTTPConnectionKeptSocketTest, AnAnswerThatEndsTheConnectionIsDeliveredAtOnce) {
    const struct {
        std::string answer;
        bool ends;
    } cases[] = {
        {Ok("done", "Connection: close\r\n"), true},
        {Ok("done", "Connection: keep-alive, Close\r\n"), true},
        {"HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\ndone", true},
        {Ok("done"), false},
    };
    for (const bool secure : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.answer + (secure ? " over TLS" : ""));
            HTTPTestPeer peer(c.ends ? std::vector<std::vector<PeerStep>>{{{.response = c.answer, .stall = true}},
                                                                          {{Ok("next")}}}
                                     : std::vector<std::vector<PeerStep>>{{{c.answer}, {Ok("next")}}},
                              tls(secure));
            const auto run = testsupport::runLogged([&] {
                trustTheCA();
                SocketTestLoop loop;
                auto connection = networktest::OnDemandConnection(loop);
                const auto done = networktest::Fetch(loop, connection, peer.url("/a", "localhost"));
                probe("delivered " + std::to_string(done.code) + ":" + done.body);
                const auto next = networktest::Fetch(loop, connection, peer.url("/b", "localhost"));
                probe("next " + std::to_string(next.code) + ":" + next.body);
                return 0;
            });
            EXPECT_TRUE(run.has("info", "Probe", "delivered 200:done")) << run.text();
            EXPECT_TRUE(run.has("info", "Probe", "next 200:next")) << run.text();
            // Not after the close has given up waiting for the server.
            const auto at = [&](const std::string& part) {
                for (std::size_t i = 0; i < run.lines.size(); ++i) {
                    if (run.lines[i].find(part) != std::string::npos) {
                        return i;
                    }
                }
                return run.lines.size();
            };
            EXPECT_LT(at(";Probe;;;delivered"), at("did not complete within")) << run.text();
            const auto requests = peer.requests();
            ASSERT_EQ(2u, requests.size());
            EXPECT_EQ(c.ends ? 1 : 0, requests[1].first)
                << (c.ends ? "the next request went out on the closed connection"
                           : "the next request did not go out on the kept connection");
        }
    }
}

}  // namespace
