#include <gtest/gtest.h>

#include <set>

#include "network/AsyncHTTPConnectionPool.h"
#include "network/PoolConnectionHandle.h"
#include "support/HTTPTestPeer.h"
#include "support/LogCapture.h"

namespace {

using namespace std::chrono_literals;
using network::AsyncHTTPConnectionPool;
using network::HTTPStatusCode;
using networktest::probe;
using networktest::SocketTestLoop;

// The pool with a count of the connections it made.
class CountingPool : public AsyncHTTPConnectionPool {
public:
    explicit CountingPool(const SocketTestLoop& loop)
        : AsyncHTTPConnectionPool(loop.service, loop.tls, nullptr, loop.connectivity,
                                  std::make_shared<network::HTTPCookieStore>()) {}

    std::shared_ptr<network::AsyncHTTPConnection> CreateConnection() override {
        ++made;
        return AsyncHTTPConnectionPool::CreateConnection();
    }

    int made = 0;
};

// One request's outcome: its code, the server's number of the connection
// that carried it, and its place among the completions.
struct Outcome {
    bool done = false;
    HTTPStatusCode code = 0;
    std::string connection;
    int finishedAs = -1;
};

class AsyncHTTPConnectionPoolTest : public ::testing::Test {
protected:
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    std::shared_ptr<Outcome> submitOn(network::IHTTPConnection& handle, const std::string& path) {
        auto outcome = std::make_shared<Outcome>();
        handle.Submit(url(path), [this, outcome](HTTPStatusCode code,
                                                 std::unique_ptr<network::IHTTPResponse> response) {
            EXPECT_FALSE(outcome->done) << "a second callback";
            outcome->done = true;
            outcome->code = code;
            outcome->finishedAs = finished_++;
            if (response) {
                outcome->connection = response->GetHeader("X-Connection");
            }
        });
        return outcome;
    }

    // Submits each path through a handle of its own, all at once.
    std::vector<std::shared_ptr<Outcome>> submit(AsyncHTTPConnectionPool& pool,
                                                 const std::vector<std::string>& paths) {
        std::vector<std::shared_ptr<Outcome>> outcomes;
        for (const auto& path : paths) {
            outcomes.push_back(submitOn(*pool.CreateHandle(), path));
        }
        return outcomes;
    }

    bool runUntilDone(const std::vector<std::shared_ptr<Outcome>>& outcomes) {
        return loop_.runUntil(
            [&] {
                return std::all_of(outcomes.begin(), outcomes.end(),
                                   [](const auto& o) { return o->done; });
            },
            30s);
    }

    std::shared_ptr<Outcome> fetch(AsyncHTTPConnectionPool& pool, const std::string& path) {
        auto outcomes = submit(pool, {path});
        EXPECT_TRUE(runUntilDone(outcomes)) << path;
        return outcomes.front();
    }

    testsupport::TempDir folder_{"quorvane-pool"};
    testsupport::ScriptServer server_{testsupport::testSupportDirectory() + "/http_test_server.py",
                                      {"--journal", folder_.file("journal")}};
    int port_ = server_.readyNumber("http").value_or(0);
    SocketTestLoop loop_;
    int finished_ = 0;
};

// Four connections serve an endpoint; up to 64 requests wait for them and
// the next one is refused before anything else has finished.
TEST_F(AsyncHTTPConnectionPoolTest, FourConnectionsServeAndSixtyFourWait) {
    ASSERT_NE(0, port_);
    for (const std::size_t count : {5u, 69u}) {
        auto pool = std::make_shared<CountingPool>(loop_);
        finished_ = 0;
        const auto outcomes = submit(*pool, std::vector<std::string>(count, "/wait/150"));
        ASSERT_TRUE(runUntilDone(outcomes)) << count;
        EXPECT_EQ(4, pool->made) << count;
        std::set<std::string> connections;
        for (std::size_t i = 0; i < count; ++i) {
            const bool refused = i == 68;
            EXPECT_EQ(refused ? 1u : 200u, outcomes[i]->code) << count << " #" << i;
            if (!refused) {
                connections.insert(outcomes[i]->connection);
            }
        }
        EXPECT_EQ(4u, connections.size()) << count;
        if (count == 69) {
            EXPECT_EQ(0, outcomes[68]->finishedAs) << "refused at once";
        }
    }
}

// Two idle connections: the one that finished last serves the next request.
TEST_F(AsyncHTTPConnectionPoolTest, TheConnectionThatFinishedLastIsReused) {
    auto pool = std::make_shared<CountingPool>(loop_);
    const auto first = submit(*pool, {"/wait/20", "/wait/400"});
    ASSERT_TRUE(runUntilDone(first));
    ASSERT_NE(first[0]->connection, first[1]->connection);
    EXPECT_EQ(first[1]->connection, fetch(*pool, "/wait/0")->connection);
    EXPECT_EQ(2, pool->made);
}

// The idle limit by the pool's clock: 15 minutes and a second closes the
// connection at the next request; 14 minutes keeps it.
TEST_F(AsyncHTTPConnectionPoolTest, TheSweepClosesConnectionsIdleForMoreThanFifteenMinutes) {
    for (const auto& [idle, reused] :
         std::vector<std::pair<std::chrono::seconds, bool>>{{15min + 1s, false}, {14min, true}}) {
        auto pool = std::make_shared<CountingPool>(loop_);
        auto now = std::make_shared<std::chrono::steady_clock::time_point>(
            std::chrono::steady_clock::now());
        pool->SetClock([now] { return *now; });
        const auto before = fetch(*pool, "/wait/0")->connection;
        *now += idle;
        const auto after = fetch(*pool, "/wait/0");
        EXPECT_EQ(200u, after->code);
        EXPECT_EQ(reused, before == after->connection) << idle.count();
        EXPECT_EQ(reused ? 1 : 2, pool->made) << idle.count();
    }
}

// A connection whose request failed in transport is not used again.
TEST_F(AsyncHTTPConnectionPoolTest, ARequestThatFailedInTransportReplacesItsConnection) {
    auto pool = std::make_shared<CountingPool>(loop_);
    EXPECT_EQ(5u, fetch(*pool, "/drop")->code);
    EXPECT_EQ(200u, fetch(*pool, "/wait/0")->code);
    EXPECT_EQ(2, pool->made);
}

// Abort ends the running request of its own handle only.
TEST_F(AsyncHTTPConnectionPoolTest, AbortEndsOnlyTheRequestsOfItsHandle) {
    auto pool = std::make_shared<CountingPool>(loop_);
    auto mine = pool->CreateHandle();
    auto other = pool->CreateHandle();
    const std::vector<std::shared_ptr<Outcome>> outcomes{submitOn(*mine, "/wait/3000"),
                                                         submitOn(*other, "/wait/1000")};
    loop_.runUntil([] { return false; }, 200ms);
    mine->Abort();
    ASSERT_TRUE(runUntilDone(outcomes));
    EXPECT_LT(outcomes[0]->code, 100u);
    EXPECT_EQ(0, outcomes[0]->finishedAs) << "ended by the abort, not by the answer";
    EXPECT_EQ(200u, outcomes[1]->code);
}

// A redirect to another endpoint leaves the pooled connection there; the
// next request of its own endpoint connects back instead of being refused.
TEST_F(AsyncHTTPConnectionPoolTest, AfterARedirectElsewhereTheConnectionServesItsOwnEndpoint) {
    networktest::HTTPTestPeer elsewhere({{{"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nelsewhere"}}});
    networktest::HTTPTestPeer home(
        {{{"HTTP/1.1 301 Moved\r\nLocation: " + elsewhere.url("/b") + "\r\nContent-Length: 0\r\n\r\n"}},
         {{"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nhome"}}});
    auto pool = std::make_shared<CountingPool>(loop_);
    auto handle = pool->CreateHandle();
    for (const auto& [path, expected] : std::vector<std::pair<std::string, std::string>>{
             {"/a", "200:elsewhere"}, {"/c", "200:home"}}) {
        std::string outcome;
        handle->Submit(home.url(path), [&](HTTPStatusCode code,
                                           std::unique_ptr<network::IHTTPResponse> response) {
            const auto body = response ? response->TakeBody() : core::NonInitializingBuffer<unsigned char>();
            outcome = std::to_string(code) + ":" + std::string(body.begin(), body.end());
        });
        loop_.runUntil([&] { return !outcome.empty(); }, 10s);
        EXPECT_EQ(expected, outcome) << path;
    }
    EXPECT_EQ(1, pool->made);
}

// The pool tells what it does with its connections at debug level; a
// handle's SetKeepAlive(false) changes nothing of its requests.
TEST_F(AsyncHTTPConnectionPoolTest, ThePoolLogsItsConnectionsAndHandlesAlwaysKeepAlive) {
    networktest::HTTPTestPeer peer({{{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"},
                                     {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok"}},
                                    {{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}}});
    const std::string endpoint = "127.0.0.1:" + std::to_string(peer.port());
    const auto run = testsupport::runLogged([&] {
        auto pool = std::make_shared<CountingPool>(loop_);
        auto now = std::make_shared<std::chrono::steady_clock::time_point>(
            std::chrono::steady_clock::now());
        pool->SetClock([now] { return *now; });
        auto handle = pool->CreateHandle();
        handle->SetKeepAlive(false);
        for (const char* path : {"/kept", "/closed", "/new"}) {
            bool done = false;
            handle->Submit(peer.url(path), [&](HTTPStatusCode, std::unique_ptr<network::IHTTPResponse>) {
                done = true;
            });
            loop_.runUntil([&] { return done; }, 10s);
        }
        // Idle past the limit: the next request's sweep removes it.
        *now += std::chrono::minutes(16);
        fetch(*pool, "/wait/0");
        return 0;
    });
    const auto state = [](const std::string& items) { return ") state: [ " + items + " ]"; };
    const std::string item = " { '" + endpoint + "' : 0 / 1 }";
    // Empty before the first request, before the third (the closed
    // connection was swept) and before the last (the idle one was).
    EXPECT_EQ(3, run.countPart("debug", "AsyncHTTPConnectionPool", state(""))) << run.text();
    EXPECT_EQ(1, run.countPart("debug", "AsyncHTTPConnectionPool", state(item))) << run.text();
    EXPECT_EQ(2, run.count("debug", "AsyncHTTPConnectionPool",
                           "Created new connection for endpoint " + endpoint));
    EXPECT_EQ(1, run.count("debug", "AsyncHTTPConnectionPool",
                           "Using existing connection for endpoint " + endpoint));
    EXPECT_EQ(1, run.count("debug", "AsyncHTTPConnectionPool",
                           "Connection for endpoint " + endpoint + " will be removed because it was closed"));
    EXPECT_EQ(2, run.count("debug", "AsyncHTTPConnectionPool",
                           "Removed stale connection to endpoint " + endpoint));
    const auto requests = peer.requests();
    ASSERT_EQ(3u, requests.size());
    for (const auto& [connection, request] : requests) {
        EXPECT_NE(std::string::npos, request.find("\r\nConnection: keep-alive\r\n")) << request;
    }
}

// What a handle refuses with code 1, at once: another endpoint than its
// first, anything after Close, a port out of range, anything once its pool
// is gone or its service stopped; and requests still queued when the pool
// goes report once.
TEST_F(AsyncHTTPConnectionPoolTest, HandlesRefuseWhatTheyCannotSend) {
    const auto run = testsupport::runLogged([&] {
        auto pool = std::make_shared<CountingPool>(loop_);
        auto handle = pool->CreateHandle();
        std::string codes;
        auto send = [&](const std::string& target) {
            bool done = false;
            handle->Submit(target, [&](HTTPStatusCode code, std::unique_ptr<network::IHTTPResponse>) {
                done = true;
                codes += std::to_string(code) + " ";
            });
            loop_.runUntil([&] { return done; });
        };
        const std::string port = std::to_string(port_);
        for (const auto& target :
             std::vector<std::string>{"http://localhost:" + port + "/wait/0", "http://localhost:1/",
                                      url("/wait/0"), "http://LocalHost:" + port + "/wait/0"}) {
            send(target);
        }
        handle->Close();
        send(url("/wait/0"));
        // A port beyond 65535 binds nothing and goes nowhere.
        handle = pool->CreateHandle();
        send("http://localhost:70000/");
        probe("handle: " + codes + "made=" + std::to_string(pool->made));

        codes.clear();
        handle = pool->CreateHandle();
        pool.reset();
        send(url("/wait/0"));
        probe("pool gone: " + codes + "cookie=" + std::to_string(handle->SetCookie("a=b")));

        // Four requests run, one waits, then the service stops under them.
        SocketTestLoop stopping;
        auto doomed = std::make_shared<CountingPool>(stopping);
        std::vector<int> calls(5, 0);
        HTTPStatusCode queuedCode = 0;
        for (int i = 0; i < 5; ++i) {
            doomed->CreateHandle()->Submit(
                url("/wait/3000"),
                [&, i](HTTPStatusCode code, std::unique_ptr<network::IHTTPResponse>) {
                    ++calls[i];
                    queuedCode = i == 4 ? code : queuedCode;
                });
        }
        stopping.runUntil([] { return false; }, 300ms);
        doomed.reset();
        stopping.service->Stop();
        // A pool on the stopped service refuses at once.
        HTTPStatusCode lateCode = 0;
        std::make_shared<CountingPool>(stopping)->CreateHandle()->Submit(
            url("/wait/0"),
            [&](HTTPStatusCode code, std::unique_ptr<network::IHTTPResponse>) { lateCode = code; });
        probe("queued: " + std::to_string(calls[4]) + " code=" + std::to_string(queuedCode) +
              " running=" + std::to_string(calls[0] + calls[1] + calls[2] + calls[3]) +
              " late=" + std::to_string(lateCode));
        return 0;
    });
    EXPECT_TRUE(run.has("info", "Probe", "handle: 200 1 1 200 1 1 made=1")) << run.text();
    EXPECT_EQ(2, run.count("warning", "PoolConnectionHandle",
                           "Pooled connection being recycled with different end-point."));
    EXPECT_EQ(1, run.count("warning", "PoolConnectionHandle", "Pooled connection already closed."));
    EXPECT_TRUE(run.has("info", "Probe", "pool gone: 1 cookie=0")) << run.text();
    EXPECT_TRUE(run.has("info", "Probe", "queued: 1 code=1 running=0 late=1")) << run.text();
}

}  // namespace
