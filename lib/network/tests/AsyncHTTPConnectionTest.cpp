#include <gtest/gtest.h>

#include <thread>

#include "network/AsyncNetworkFactory.h"
#include "network/Hex.h"
#include "support/Compressed.h"
#include "support/ChildProcess.h"
#include "support/HTTPTestPeer.h"
#include "support/LogCapture.h"

namespace {

using namespace std::chrono_literals;
using testsupport::compressed;
using networktest::Fetch;
using networktest::HTTPTestPeer;
using networktest::OnDemandConnection;
using networktest::PeerStep;
using networktest::SocketTestLoop;

std::string Ok(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
           "\r\n" + body;
}

std::string Redirect(int status, const std::string& location) {
    return "HTTP/1.1 " + std::to_string(status) + " Moved\r\nLocation: " + location +
           "\r\nContent-Length: 0\r\n\r\n";
}

std::unique_ptr<network::IHTTPRequest> Request(
    const std::shared_ptr<network::AsyncHTTPConnection>& connection, const std::string& method,
    const std::string& body, const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    auto request = connection->CreateRequest();
    request->SetMethod(method);
    request->SetBody(core::NonInitializingBuffer<unsigned char>(
        reinterpret_cast<const unsigned char*>(body.data()), body.size()));
    for (const auto& [name, value] : headers) {
        request->AddHeader(name, value);
    }
    return request;
}

// A socket of `loop` connected to `peer`, with `timeoutMs` as its time-out
// (0: the default); null when it did not connect in time.
std::shared_ptr<network::AsyncTCPSocket> ConnectedSocket(const SocketTestLoop& loop,
                                                         const HTTPTestPeer& peer,
                                                         std::uint64_t timeoutMs = 0) {
    auto socket = loop.socket();
    if (timeoutMs != 0) {
        socket->SetTimeout(timeoutMs);
    }
    bool connected = false;
    socket->AsyncConnect("127.0.0.1", static_cast<std::uint16_t>(peer.port()), false,
                         [&](network::ITCPSocket::ErrorCode) { connected = true; });
    return loop.runUntil([&] { return connected; }) ? socket : nullptr;
}

// Framing faults are the reader's tests; here each way a response ends once.
TEST(AsyncHTTPConnectionTest, EveryResponseEndsWithTheSoundCode) {
    const std::string chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n";
    const std::string text = "compressible text, compressible text, compressible text";
    struct Case {
        const char* name;
        PeerStep step;
        network::HTTPStatusCode code;
        std::string body;
        const char* method = "GET";
    };
    const Case cases[] = {
        {"chunked in one segment", {chunked, true}, 200, "hello world"},
        {"chunked byte by byte", {chunked, true, true}, 200, "hello world"},
        {"chunked with trailers, kept alive",
         {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\nT: 1\r\n\r\n"}, 200, "ok"},
        {"gzip", {Ok(compressed(text, 31), "Content-Encoding: gzip\r\n")}, 200, text},
        {"gzip byte by byte", {Ok(compressed(text, 31), "Content-Encoding: gzip\r\n"), false, true}, 200,
         text},
        {"deflate", {Ok(compressed(text, 15), "Content-Encoding: deflate\r\n")}, 200, text},
        {"unknown coding as received", {Ok("raw", "Content-Encoding: br\r\n")}, 200, "raw"},
        {"corrupt gzip", {Ok("not gzip", "Content-Encoding: gzip\r\n")}, 5, ""},
        {"interim answer skipped", {"HTTP/1.1 100 Continue\r\n\r\n" + Ok("final")}, 200, "final"},
        {"HEAD with a length", {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"}, 200, "", "HEAD"},
        {"204 with a length", {"HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n"}, 204, ""},
        {"read to the end", {"HTTP/1.0 200 OK\r\n\r\nuntil the end", true}, 200, "until the end"},
        {"end of stream between chunks",
         {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n", true}, 5, ""},
        {"body cut short", {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", true}, 5, ""},
        {"status below 100", {"HTTP/1.1 042 Odd\r\nContent-Length: 0\r\n\r\n", true}, 0, ""},
        {"no answer", {"", true}, 5, ""},
        {"body over the limit", {Ok(std::string(2000, 'b')), true}, 5, ""},
        {"decoded body over the limit",
         {Ok(compressed(std::string(5000, 'z'), 31), "Content-Encoding: gzip\r\n"), true}, 5, ""},
    };
    std::vector<std::vector<PeerStep>> script;
    for (const auto& c : cases) {
        script.push_back({c.step});
    }
    HTTPTestPeer peer(script);
    ASSERT_NE(peer.port(), 0);
    SocketTestLoop loop;
    for (const auto& c : cases) {
        auto connection = OnDemandConnection(loop);
        connection->SetBodyLimit(1024);
        const auto fetched = Fetch(loop, connection, peer.url("/"), Request(connection, c.method, ""));
        ASSERT_TRUE(fetched.done) << c.name << ": no outcome";
        EXPECT_EQ(fetched.code, c.code) << c.name;
        EXPECT_EQ(fetched.body, c.body) << c.name;
        EXPECT_EQ(fetched.response != nullptr, c.code >= 100) << c.name;
        connection->Close();
        loop.runUntil([&] { return connection->GetSocket() == nullptr; }, 2s);
    }
}

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

TEST(AsyncHTTPConnectionTest, RedirectsAreFollowedFiveTimesOnTheSameConnection) {
    std::vector<PeerStep> steps;
    for (int i = 1; i <= 6; ++i) {
        steps.push_back({Redirect(302, "/r" + std::to_string(i))});
    }
    steps.push_back({Redirect(301, "/p")});
    steps.push_back({Redirect(303, "/see")});
    steps.push_back({Redirect(307, "/temp")});
    steps.push_back({Ok("landed")});
    HTTPTestPeer peer({steps});
    SocketTestLoop loop;
    auto connection = OnDemandConnection(loop);
    const auto sixth = Fetch(loop, connection, peer.url("/start?q=1"));
    EXPECT_EQ(sixth.code, 302u);
    ASSERT_TRUE(sixth.response);
    EXPECT_EQ(sixth.response->GetHeader("location"), "/r6");

    const auto landed = Fetch(loop, connection, peer.url("/post"), Request(connection, "POST", "form"));
    EXPECT_EQ(landed.code, 200u);
    EXPECT_EQ(landed.body, "landed");
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 10u);
    EXPECT_EQ(requests[5].second.rfind("GET /r5 HTTP/1.1\r\n", 0), 0u) << requests[5].second;
    EXPECT_EQ(requests[7].second.rfind("POST /p HTTP/1.1\r\n", 0), 0u) << requests[7].second;
    EXPECT_NE(requests[7].second.find("\r\n\r\nform"), std::string::npos);
    // The 303 turns the POST into a GET without a body; 307 keeps that.
    EXPECT_EQ(requests[8].second.rfind("GET /see HTTP/1.1\r\n", 0), 0u) << requests[8].second;
    EXPECT_EQ(requests[8].second.find("Content-Length"), std::string::npos);
    EXPECT_EQ(requests[9].second.rfind("GET /temp HTTP/1.1\r\n", 0), 0u) << requests[9].second;
    for (const auto& [index, request] : requests) {
        EXPECT_EQ(index, 0) << request;
    }
}

TEST(AsyncHTTPConnectionTest, CredentialsAndCookiesStayWithTheirOrigin) {
    // 127.0.0.1 sets cookies and sends the client on to localhost (another
    // origin on the same port), which answers on a connection of its own.
    HTTPTestPeer peer({{{"HTTP/1.1 200 OK\r\nSet-Cookie: origin=1\r\n"
                         "Set-Cookie: wide=1; Domain=localhost\r\nContent-Length: 0\r\n\r\n"},
                        {Ok("again")},
                        {Redirect(307, "http://localhost:{port}/x")}},
                       {{Ok("other")}}});
    SocketTestLoop loop;
    auto connection = OnDemandConnection(loop);
    connection->SetCookie("caller=1");  // host-only for the first origin
    EXPECT_EQ(Fetch(loop, connection, peer.url("/set")).code, 200u);
    EXPECT_EQ(Fetch(loop, connection, peer.url("/again")).body, "again");
    const auto other = Fetch(loop, connection, peer.url("/go"),
                             Request(connection, "GET", "",
                                     {{"Authorization", "Basic c2VjcmV0"}, {"Cookie", "mine=1"},
                                      {"Proxy-Authorization", "Basic eA=="}, {"X-Kept", "1"}}));
    EXPECT_EQ(other.code, 200u);
    EXPECT_EQ(other.body, "other");
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_NE(requests[0].second.find("\r\nCookie: caller=1\r\n"), std::string::npos)
        << requests[0].second;
    EXPECT_NE(requests[1].second.find("\r\nCookie: origin=1; caller=1\r\n"), std::string::npos)
        << requests[1].second;
    EXPECT_NE(requests[2].second.find("\r\nCookie: mine=1; origin=1; caller=1\r\n"),
              std::string::npos)
        << requests[2].second;
    EXPECT_NE(requests[2].second.find("Authorization: Basic c2VjcmV0"), std::string::npos);
    const std::string& moved = requests[3].second;
    EXPECT_EQ(requests[3].first, 1);
    EXPECT_EQ(moved.rfind("GET /x HTTP/1.1\r\nHost: localhost:", 0), 0u) << moved;
    EXPECT_EQ(moved.find("Authorization"), std::string::npos) << moved;
    EXPECT_EQ(moved.find("Cookie"), std::string::npos) << moved;
    EXPECT_NE(moved.find("X-Kept: 1"), std::string::npos) << moved;
}

TEST(AsyncHTTPConnectionTest, RedirectsThatCannotBeFollowedReachTheCaller) {
    HTTPTestPeer peer({{{Redirect(302, "http://bad host/")},
                        {Redirect(301, "http://127.0.0.1:99999/")},
                        {Redirect(302, "")},
                        {Redirect(308, "/elsewhere")},
                        {Redirect(302, "http://127.0.0.1:{port}/plain")}},
                       {{Ok("plain")}}});
    SocketTestLoop loop;
    auto connection = OnDemandConnection(loop);
    for (const network::HTTPStatusCode expected : {302u, 301u, 302u, 308u}) {
        const auto fetched = Fetch(loop, connection, peer.url("/"));
        EXPECT_EQ(fetched.code, expected);
        EXPECT_TRUE(fetched.response);
    }
    // From https to http is not followed; the https URL goes over plain TCP
    // (TLS mode 0) to the scripted peer.
    auto request = connection->CreateRequest();
    request->SetSSLMode(0);
    const auto fetched = Fetch(loop, connection,
                               "https://127.0.0.1:" + std::to_string(peer.port()) + "/",
                               std::move(request));
    EXPECT_EQ(fetched.code, 302u);
    EXPECT_EQ(peer.requests().size(), 5u);
}

TEST(AsyncHTTPConnectionTest, RequestsThatWouldBreakTheHeadAreRefused) {
    HTTPTestPeer peer({{{Ok("never")}}});
    SocketTestLoop loop;
    auto connection = OnDemandConnection(loop);
    struct Case {
        std::string url;
        std::string method;
        std::vector<std::pair<std::string, std::string>> headers;
    };
    const Case cases[] = {
        {peer.url("/"), "GET\r\nX: 1", {}},
        {peer.url("/"), "GET", {{"X-Evil", "a\r\nInjected: 1"}}},
        {"http://127.0.0.1:70000/", "GET", {}},
        {"not a url", "GET", {}},
        {"http://bad host/", "GET", {}},
    };
    for (const auto& c : cases) {
        const auto fetched = Fetch(loop, connection, c.url, Request(connection, c.method, "", c.headers));
        EXPECT_EQ(fetched.code, 1u) << c.url << " " << c.method;
    }
    EXPECT_TRUE(peer.requests().empty());
}

TEST(AsyncHTTPConnectionTest, BytesBehindAnUpgradeOrATunnelAreKeptForTheNewProtocol) {
    struct Case {
        const char* method;
        std::string answer;
        network::HTTPStatusCode code;
    };
    const Case cases[] = {
        {"GET", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", 101},
        {"CONNECT", "HTTP/1.1 200 Connection established\r\nContent-Length: 9\r\n\r\n", 200},
    };
    for (const auto& c : cases) {
        HTTPTestPeer peer({{{c.answer + "\x81\x02hi"}}});
        SocketTestLoop loop;
        auto socket = ConnectedSocket(loop, peer);
        ASSERT_TRUE(socket);
        auto connection = network::AsyncHTTPConnection::Create(socket, false);
        connection->SetKeepAlive(true);
        const auto fetched = Fetch(loop, connection, peer.url("/"), Request(connection, c.method, ""));
        EXPECT_EQ(fetched.code, c.code) << c.method;
        const auto rest = connection->TakeUpgradeBytes();
        EXPECT_EQ(std::string(rest.begin(), rest.end()), "\x81\x02hi") << c.method;
        EXPECT_TRUE(socket->IsConnected()) << c.method;
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

}  // namespace

namespace {

// The request line of the request after the first on connection `index`,
// or "" when the redirect was not followed there.
std::string FollowedLine(const HTTPTestPeer& peer, int index) {
    bool first = true;
    for (const auto& [connection, request] : peer.requests()) {
        if (connection != index) {
            continue;
        }
        if (!first) {
            return request.substr(0, request.find("\r\n"));
        }
        first = false;
    }
    return "";
}

// Every redirect target is followed, percent-encoded, or refused as curl
// does it: the same peer answers this client (its first connection) and
// curl (its second), and the follow-up request lines are compared. Where
// curl differs, its line is given: it writes escapes in lower case and
// leaves quotes in a query, and it cuts a value at a bare CR where this
// client refuses the whole answer; neither sends the bytes behind the CR.
TEST(AsyncHTTPConnectionTest, RedirectTargetsAreReadAsCurlReadsThem) {
    struct Case {
        std::string location;
        std::string followed;  // the request line expected, "" when refused
        const char* curl = nullptr;  // curl's, when it differs
    };
    const Case cases[] = {
        {"/echo a HTTP/1.1", "GET /echo%20a%20HTTP/1.1 HTTP/1.1"},
        {"/echo\rX-Injected: yes", "", "GET /echo HTTP/1.1"},
        {"/caf\xc3\xa9?k=\"v\"", "GET /caf%C3%A9?k=%22v%22 HTTP/1.1",
         "GET /caf%c3%a9?k=\"v\" HTTP/1.1"},
        {"/q?y/./x+1&z=%41", "GET /q?y/./x+1&z=%41 HTTP/1.1"},
        {"//127.0.0.1:99999999999/x", ""},
        {"//:{port}/x", ""},
        {"//127.0.0.1:{port}/n/../m", "GET /m HTTP/1.1"},
        {"http://127.0.0.1:{port}x/echo", ""},
        {"a/./b?c", "GET /dir/a/b?c HTTP/1.1"},
    };
    SocketTestLoop loop;
    for (const auto& c : cases) {
        const std::vector<PeerStep> steps = {{Redirect(302, c.location)}, {Ok("landed")}};
        HTTPTestPeer peer({steps, steps});
        auto connection = OnDemandConnection(loop);
        const auto fetched = Fetch(loop, connection, peer.url("/dir/start"));
        EXPECT_TRUE(fetched.done) << c.location;
        connection->Close();
        const auto curl = testsupport::runCommand(
            {"/usr/bin/curl", "-s", "-L", "--max-redirs", "5", "-m", "10", "-o", "/dev/null",
             peer.url("/dir/start")});
        EXPECT_TRUE(curl.exited) << c.location;
        EXPECT_EQ(FollowedLine(peer, 0), c.followed) << c.location;
        EXPECT_EQ(FollowedLine(peer, 1), c.curl ? c.curl : c.followed) << "curl, " << c.location;
    }
}

// A NUL or a bare CR in a header value fails the response. curl fails the
// NUL alike (exit 8, a weird server reply); a bare CR it takes as the end
// of the value.
TEST(AsyncHTTPConnectionTest, HeaderValuesWithNulOrBareCrFailTheResponse) {
    struct Case {
        std::string head;
        int curlExit;
    };
    const Case cases[] = {
        {std::string("HTTP/1.1 200 OK\r\nX-A: a\0b\r\nContent-Length: 2\r\n\r\nok", 50), 8},
        {"HTTP/1.1 200 OK\r\nX-A: a\rX-Injected: 1\r\nContent-Length: 2\r\n\r\nok", 0},
    };
    SocketTestLoop loop;
    for (const auto& c : cases) {
        HTTPTestPeer peer({{{c.head}}, {{c.head}}});
        auto connection = OnDemandConnection(loop);
        const auto fetched = Fetch(loop, connection, peer.url("/"));
        EXPECT_EQ(fetched.code, 5u) << testing::PrintToString(c.head);
        connection->Close();
        const auto curl = testsupport::runCommand(
            {"/usr/bin/curl", "-s", "-m", "10", "-o", "/dev/null", peer.url("/")});
        EXPECT_EQ(curl.exitCode, c.curlExit) << testing::PrintToString(c.head);
    }
}

// A read that fails says in which step, why, and what bytes it held that
// no step had taken; a response read whole logs its status line.
TEST(AsyncHTTPConnectionTest, AFailedReadNamesItsStep) {
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct Case {
        std::string answer;  // then the peer closes, or keeps quiet
        bool close;
        std::string error;
        std::string pending;
    };
    const Case cases[] = {
        {"HTTP/1.1 20", true, "Error while receiving HTTP headers; reason: End of file [2]", "HTTP/1.1 20"},
        {"HTTP/1.1 200 OK\r\nX-A: 1", true, "Error while reading HTTP headers; reason: End of file [2]",
         "X-A: 1"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", true,
         "Error while reading content of fixed size; reason: End of file [2]", ""},
        {"HTTP/1.0 200 OK\r\n\r\npartial", false,
         "Error while reading variable-size content; reason: Connection timed out [110]", ""},
        {chunked + "5\r\nhello\r\n1", true, "Error while reading HTTP chunk size; reason: End of file [2]",
         "1"},
        {chunked + "1a\r\nhel", true, "Error while reading chunk of size 26; reason: End of file [2]", ""},
    };
    for (const auto& c : cases) {
        HTTPTestPeer peer({{{c.answer, c.close}}});
        const auto run = testsupport::runLogged([&] {
            SocketTestLoop loop;
            auto socket = ConnectedSocket(loop, peer, 300);
            if (!socket) {
                return -1;
            }
            auto connection = network::AsyncHTTPConnection::Create(socket, false);
            return static_cast<int>(Fetch(loop, connection, peer.url("/"), nullptr, 10s).code);
        });
        EXPECT_EQ(run.result.exitCode, 5) << c.answer;
        EXPECT_TRUE(run.has("error", "AsyncHTTPConnection", c.error)) << c.answer << "\n" << run.text();
        EXPECT_TRUE(run.has("debug", "AsyncHTTPConnection", "Data received: " + network::ToHex(c.pending)))
            << c.answer << "\n" << run.text();
    }
    HTTPTestPeer peer({{{Ok("whole")}}});
    const auto run = testsupport::runLogged([&] {
        SocketTestLoop loop;
        auto connection = OnDemandConnection(loop);
        return static_cast<int>(Fetch(loop, connection, peer.url("/")).code);
    });
    EXPECT_EQ(run.result.exitCode, 200);
    EXPECT_TRUE(run.has("debug", "AsyncHTTPResponseData", "HTTP response status line:\\nHTTP/1.1 200 OK"))
        << run.text();
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

// A request larger than the socket takes at once goes out whole and in order.
TEST(AsyncHTTPConnectionTest, ARequestLargerThanTheSocketBufferArrivesWhole) {
    std::string body(8 << 20, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>('a' + (i / 4096) % 26);
    }
    HTTPTestPeer peer({{{Ok("taken")}}});
    SocketTestLoop loop;
    auto socket = ConnectedSocket(loop, peer);
    ASSERT_TRUE(socket);
    auto connection = network::AsyncHTTPConnection::Create(socket, false);
    const auto fetched = Fetch(loop, connection, peer.url("/upload"), Request(connection, "POST", body), 30s);
    EXPECT_EQ(fetched.body, "taken");
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& sent = requests[0].second;
    ASSERT_GE(sent.size(), body.size());
    EXPECT_TRUE(sent.compare(sent.size() - body.size(), body.size(), body) == 0)
        << "the body arrived changed";
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
                loop.runUntil([] { return false; }, 200ms);  // the stray bytes arrive
                EXPECT_EQ("200:second", get("/b"));
            }
            const auto requests = peer.requests();
            EXPECT_EQ(2u, requests.size());
            EXPECT_EQ(1, requests.back().first) << "the second request went out on the first connection";
        }
    }
}

// A redirect to another port of the same host is another origin: the
// caller's credentials and cookies stay behind (RFC 9110 section 15.4).
TEST(AsyncHTTPConnectionTest, ARedirectToAnotherPortKeepsNoCredentials) {
    HTTPTestPeer other({{{Ok("other")}}});
    HTTPTestPeer peer({{{Redirect(307, other.url("/x"))}}});
    SocketTestLoop loop;
    auto connection = OnDemandConnection(loop);
    const auto fetched = Fetch(loop, connection, peer.url("/go"),
                               Request(connection, "GET", "",
                                       {{"Authorization", "Basic c2VjcmV0"}, {"Cookie", "mine=1"},
                                        {"Proxy-Authorization", "Basic eA=="}, {"X-Kept", "1"}}));
    EXPECT_EQ("other", fetched.body);
    const auto requests = other.requests();
    ASSERT_EQ(1u, requests.size());
    const std::string& moved = requests[0].second;
    for (const char* header : {"Authorization", "Proxy-Authorization", "Cookie"}) {
        EXPECT_EQ(std::string::npos, moved.find(std::string("\r\n") + header + ":"))
            << header << " went along:\n" << moved;
    }
    EXPECT_NE(std::string::npos, moved.find("X-Kept: 1")) << moved;
}

// Whether an answer leaves the connection open for the next request.
TEST(AsyncHTTPConnectionTest, AnAnswerClosesTheConnectionAsItsVersionAndHeadersSay) {
    struct Case {
        std::string answer;
        bool closes;
    };
    const Case cases[] = {
        {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", true},
        {"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nok", false},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok", true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false},
        {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA", true},
    };
    SocketTestLoop loop;
    for (const auto& c : cases) {
        HTTPTestPeer peer({{{c.answer}, {Ok("same")}}, {{Ok("new")}}});
        auto connection = OnDemandConnection(loop);
        EXPECT_EQ(Fetch(loop, connection, peer.url("/a")).body, "ok") << c.answer;
        EXPECT_EQ(connection->GetSocket() == nullptr, c.closes) << c.answer;
        EXPECT_EQ(Fetch(loop, connection, peer.url("/b")).body, c.closes ? "new" : "same") << c.answer;
    }
}

}  // namespace

// A body sink takes the body of a successful, uncoded answer as it arrives,
// in pieces of at most kSinkPieceSize bytes, whatever the framing; the
// response then holds none of it. Redirects, failures and coded bodies keep
// their bodies, a sink that refuses fails the request, and the body limit
// still counts every byte.
TEST(AsyncHTTPConnectionTest, ABodySinkTakesTheBodyOfASuccessfulAnswerOnly) {
    const std::size_t piece = network::AsyncHTTPConnection::kSinkPieceSize;
    const std::string large(piece * 2 + 5, 'l');
    std::string chunkedLarge = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (std::size_t at = 0; at < large.size(); at += 100000) {
        const std::string part = large.substr(at, 100000);
        char size[16];
        std::snprintf(size, sizeof size, "%zx", part.size());
        chunkedLarge += std::string(size) + "\r\n" + part + "\r\n";
    }
    chunkedLarge += "0\r\n\r\n";
    struct Case {
        const char* name;
        std::vector<PeerStep> steps;
        bool refuse;
        network::HTTPStatusCode code;
        std::string sunk;      // what the sink took
        std::string body;      // what the response kept
        std::uint64_t limit = network::HTTPResponseReader::kDefaultBodyLimit;
    };
    const std::string text = "compressible text, compressible text";
    const Case cases[] = {
        {"announced length", {{Ok(large)}}, false, 200, large, ""},
        {"chunked", {{chunkedLarge}}, false, 200, large, ""},
        {"until the end", {{"HTTP/1.0 200 OK\r\n\r\n" + large, true}}, false, 200, large, ""},
        {"not found", {{"HTTP/1.1 404 No\r\nContent-Length: 4\r\n\r\ngone"}}, false, 404, "", "gone"},
        {"gzip", {{Ok(compressed(text, 31), "Content-Encoding: gzip\r\n")}}, false, 200, "", text},
        {"redirect body", {{"HTTP/1.1 302 Moved\r\nLocation: /b\r\nContent-Length: 3\r\n\r\nold"}, {Ok("new")}},
         false, 200, "new", ""},
        {"refused", {{Ok("data")}}, true, 5, "data", ""},
        // Cut off at the limit: what went out is the start of the body.
        {"limit over pieces", {{chunkedLarge, true}}, false, 5, "", "", piece * 2 + 1},
        {"limit over pieces, until the end", {{"HTTP/1.0 200 OK\r\n\r\n" + large, true}}, false, 5,
         "", "", piece * 2 + 1},
    };
    std::vector<std::vector<PeerStep>> script;
    for (const auto& c : cases) {
        script.push_back(c.steps);
    }
    HTTPTestPeer peer(script);
    ASSERT_NE(peer.port(), 0);
    SocketTestLoop loop;
    for (const auto& c : cases) {
        auto connection = OnDemandConnection(loop);
        connection->SetBodyLimit(c.limit);
        std::string sunk;
        std::size_t largest = 0;
        connection->SetBodySink([&](const unsigned char* data, std::size_t size) {
            sunk.append(reinterpret_cast<const char*>(data), size);
            largest = std::max(largest, size);
            return !c.refuse;
        });
        const auto fetched = Fetch(loop, connection, peer.url("/"));
        ASSERT_TRUE(fetched.done) << c.name << ": no outcome";
        EXPECT_EQ(fetched.code, c.code) << c.name;
        if (c.limit < large.size()) {
            EXPECT_TRUE(sunk.size() >= piece && sunk.size() <= c.limit &&
                        large.compare(0, sunk.size(), sunk) == 0)
                << c.name << ": the sink took " << sunk.size() << " bytes";
        } else {
            EXPECT_TRUE(sunk == c.sunk) << c.name << ": the sink took " << sunk.size() << " bytes";
        }
        EXPECT_EQ(fetched.body, c.body) << c.name;
        EXPECT_LE(largest, piece + 64 * 1024) << c.name << ": the pieces are bounded";
        connection->Close();
        loop.runUntil([&] { return connection->GetSocket() == nullptr; }, 2s);
    }
}
