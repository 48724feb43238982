#include <gtest/gtest.h>

#include "network/HTTPBodyDecoder.h"
#include "network/Hex.h"
#include "support/ChildProcess.h"
#include "support/ChunkedBody.h"
#include "support/Compressed.h"
#include "support/HTTPConnectionTestSupport.h"
#include "support/LogCapture.h"

namespace {

using namespace std::chrono_literals;
using testsupport::compressed;
using networktest::Chunked;
using networktest::ConnectedSocket;
using networktest::Fetch;
using networktest::HTTPTestPeer;
using networktest::Ok;
using networktest::OnDemandConnection;
using networktest::PeerStep;
using networktest::Request;
using networktest::SocketTestLoop;

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
        const char* reason = "";  // a part of the connection's reason for a failure
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
        // Every gzip member and every coding of a list is undone; a coding
        // not known leaves no body to pass for a decoded one.
        {"gzip in two members",
         {Ok(compressed(text, 31) + compressed(text, 31), "Content-Encoding: gzip\r\n")}, 200,
         text + text},
        {"gzip over gzip", {Ok(compressed(compressed(text, 31), 31), "Content-Encoding: gzip, gzip\r\n")},
         200, text},
        {"gzip beside identity", {Ok(compressed(text, 31), "Content-Encoding: gzip, identity\r\n")},
         200, text},
        {"a coding named on a second line",
         {Ok(compressed(text, 31), "Content-Encoding: \r\nContent-Encoding: gzip\r\n")}, 200, text},
        {"gzip with bytes behind its member",
         {Ok(compressed(text, 31) + "more", "Content-Encoding: gzip\r\n")}, 5, "", "GET",
         "the body does not decode: the coded body is corrupt"},
        {"unknown coding refused", {Ok("raw", "Content-Encoding: br\r\n")}, 5, "", "GET",
         "the body does not decode: the content coding \"br\" is not known"},
        {"unknown coding, no body", {Ok("", "Content-Encoding: br\r\n")}, 200, ""},
        {"corrupt gzip", {Ok("not gzip", "Content-Encoding: gzip\r\n")}, 5, "", "GET",
         "the body does not decode: the coded body is corrupt"},
        {"gzip transfer coding",
         {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n" +
          Chunked(compressed(text, 31), 16)},
         200, text},
        {"unknown transfer coding",
         {"HTTP/1.1 200 OK\r\nTransfer-Encoding: br, chunked\r\n\r\n" + Chunked("coded", 16), true},
         5, "", "GET", "the transfer coding \"br\" is not supported"},
        {"interim answer skipped", {"HTTP/1.1 100 Continue\r\n\r\n" + Ok("final")}, 200, "final"},
        {"HEAD with a length", {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"}, 200, "", "HEAD"},
        // Methods are case-sensitive: "head" is not HEAD, its answer has a body.
        {"head in lower case", {Ok("body")}, 200, "body", "head"},
        {"204 with a length", {"HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n"}, 204, ""},
        {"read to the end", {"HTTP/1.0 200 OK\r\n\r\nuntil the end", true}, 200, "until the end"},
        {"end of stream between chunks",
         {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n", true}, 5, "", "GET",
         "the stream ended inside the body"},
        {"body cut short", {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", true}, 5, "",
         "GET", "the stream ended inside the body"},
        {"status below 100", {"HTTP/1.1 042 Odd\r\nContent-Length: 0\r\n\r\n", true}, 0, ""},
        {"no answer", {"", true}, 5, "", "GET", "the stream ended inside the response head"},
        {"body over the limit", {Ok(std::string(2000, 'b')), true}, 5, "", "GET",
         "the body is larger than 1024 bytes"},
        {"decoded body over the limit",
         {Ok(compressed(std::string(5000, 'z'), 31), "Content-Encoding: gzip\r\n"), true}, 5, "",
         "GET", "the body does not decode: the body decodes to more than 1024 bytes"},
    };
    std::vector<std::vector<PeerStep>> script;
    for (const auto& c : cases) {
        script.push_back({c.step});
    }
    HTTPTestPeer peer(script);
    ASSERT_NE(peer.port(), 0);
    SocketTestLoop loop;
    // One connection for all, closed after each: the reason is the last request's.
    auto connection = OnDemandConnection(loop);
    connection->SetBodyLimit(1024);
    for (const auto& c : cases) {
        const auto fetched = Fetch(loop, connection, peer.url("/"), Request(connection, c.method, ""));
        ASSERT_TRUE(fetched.done) << c.name << ": no outcome";
        EXPECT_EQ(fetched.code, c.code) << c.name;
        EXPECT_EQ(fetched.body, c.body) << c.name;
        EXPECT_EQ(fetched.response != nullptr, c.code >= 100) << c.name;
        const std::string reason = connection->FailureReason();
        EXPECT_TRUE(*c.reason == '\0' ? reason.empty() : reason.find(c.reason) != std::string::npos)
            << c.name << ": " << reason;
        connection->Close();
        loop.runUntil([&] { return connection->GetSocket() == nullptr; }, 2s);
    }
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
        // What it connects to itself, it reaches by HTTP or HTTPS only.
        {"ftp://127.0.0.1:" + std::to_string(peer.port()) + "/", "GET", {}},
        {"ws://127.0.0.1:" + std::to_string(peer.port()) + "/", "GET", {}},
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
        // The options are a list, in one header or several.
        {"HTTP/1.1 200 OK\r\nConnection: close, TE\r\nContent-Length: 2\r\n\r\nok", true},
        {"HTTP/1.1 200 OK\r\nConnection: TE\r\nConnection: Close\r\nContent-Length: 2\r\n\r\nok", true},
        {"HTTP/1.1 200 OK\r\nConnection: TE, Upgrade\r\nContent-Length: 2\r\n\r\nok", false},
        {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive, TE\r\nContent-Length: 2\r\n\r\nok", false},
        {"HTTP/1.0 200 OK\r\nConnection: keep-alive, close\r\nContent-Length: 2\r\n\r\nok", true},
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

// A body sink takes the body of a successful answer as it arrives, in
// pieces of at most kSinkPieceSize bytes, whatever the framing, decoded (a
// coding not known fails it); the response then holds none of it. Redirects
// not followed and failures keep their bodies unless a filter says
// otherwise: it may sink them, or drop them unread and undecoded; a
// redirect that is followed has its body dropped. A sink that refuses fails
// the request, and so does a coded body that is corrupt or cut short; the
// body limit still counts every byte, decoded ones too.
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
        network::AsyncHTTPConnection::BodyFilter takes = {};
    };
    using Use = network::AsyncHTTPConnection::BodyUse;
    const auto dropsFailures = [](std::uint32_t status) {
        return status >= 200 && status < 300 ? Use::Sunk : Use::Dropped;
    };
    const auto sinksAll = [](std::uint32_t) { return Use::Sunk; };
    const std::string page(10000, 'p');
    const std::string notFound = "HTTP/1.1 404 No\r\nContent-Length: ";
    const std::string text = "compressible text, compressible text";
    const Case cases[] = {
        {"announced length", {{Ok(large)}}, false, 200, large, ""},
        {"chunked", {{chunkedLarge}}, false, 200, large, ""},
        {"until the end", {{"HTTP/1.0 200 OK\r\n\r\n" + large, true}}, false, 200, large, ""},
        {"not found", {{"HTTP/1.1 404 No\r\nContent-Length: 4\r\n\r\ngone"}}, false, 404, "", "gone"},
        {"gzip", {{Ok(compressed(text, 31), "Content-Encoding: gzip\r\n")}}, false, 200, text, ""},
        {"gzip, large", {{Ok(compressed(large, 31), "Content-Encoding: gzip\r\n")}}, false, 200,
         large, ""},
        {"gzip transfer coding, large",
         {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n" +
           Chunked(compressed(large, 31), 100)}},
         false, 200, large, ""},
        // A coding not known, alone or over a known one: nothing still
        // coded reaches the sink.
        {"unknown coding refused", {{Ok("raw", "Content-Encoding: br\r\n")}}, false, 5, "", ""},
        {"gzip under an unknown coding refused",
         {{Ok(compressed(text, 31), "Content-Encoding: gzip, br\r\n")}}, false, 5, "", ""},
        {"gzip in two members",
         {{Ok(compressed(text, 31) + compressed(large, 31), "Content-Encoding: gzip\r\n")}}, false,
         200, text + large, ""},
        {"gzip with bytes behind its member",
         {{Ok(compressed(text, 31) + "more", "Content-Encoding: gzip\r\n")}}, false, 5, text, ""},
        {"gzip cut short",
         {{Ok(compressed(text, 31).substr(0, 10), "Content-Encoding: gzip\r\n")}}, false, 5, "",
         ""},
        {"corrupt deflate", {{Ok("not deflate", "Content-Encoding: deflate\r\n")}}, false, 5, "",
         ""},
        {"limit over decoded pieces", {{Ok(compressed(large, 31), "Content-Encoding: gzip\r\n")}},
         false, 5, "", "", piece * 2 + 1},
        {"redirect body", {{"HTTP/1.1 302 Moved\r\nLocation: /b\r\nContent-Length: 3\r\n\r\nold"}, {Ok("new")}},
         false, 200, "new", ""},
        // A 300 is never followed: its body is the response's, not the sink's.
        {"multiple choices", {{"HTTP/1.1 300 Choose\r\nLocation: /b\r\nContent-Length: 4\r\n\r\npick"}},
         false, 300, "", "pick"},
        // The body of a redirect that is followed is dropped, never decoded:
        // the filter is not asked, and a sink that takes everything gets none.
        {"followed redirect, its coded body damaged",
         {{"HTTP/1.1 302 Moved\r\nLocation: /b\r\nContent-Encoding: gzip\r\nContent-Length: 8\r\n\r\n"
           "not gzip"},
          {Ok("new")}},
         false, 200, "new", "", network::HTTPResponseReader::kDefaultBodyLimit, sinksAll},
        // What the filter drops is read and thrown away, never decoded: the
        // response keeps the start of a plain body, nothing of a coded one.
        {"404 dropped, coded and damaged",
         {{notFound + "8\r\nContent-Encoding: gzip\r\n\r\nnot gzip"}}, false, 404, "", "",
         network::HTTPResponseReader::kDefaultBodyLimit, dropsFailures},
        {"404 dropped, the start of its page kept", {{notFound + "10000\r\n\r\n" + page}}, false,
         404, "", page.substr(0, network::HTTPSunkBody::kKeptStart),
         network::HTTPResponseReader::kDefaultBodyLimit, dropsFailures},
        {"404 dropped, in chunks over pieces",
         {{"HTTP/1.1 404 No\r\n" + chunkedLarge.substr(chunkedLarge.find("Transfer-Encoding"))}},
         false, 404, "", large.substr(0, network::HTTPSunkBody::kKeptStart),
         network::HTTPResponseReader::kDefaultBodyLimit, dropsFailures},
        {"404 sunk", {{notFound + "4\r\n\r\ngone"}}, false, 404, "gone", "",
         network::HTTPResponseReader::kDefaultBodyLimit, sinksAll},
        {"404 sunk, coded and damaged",
         {{notFound + "8\r\nContent-Encoding: gzip\r\n\r\nnot gzip"}}, false, 5, "", "",
         network::HTTPResponseReader::kDefaultBodyLimit, sinksAll},
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
        connection->SetBodySink(
            [&](const unsigned char* data, std::size_t size) {
                sunk.append(reinterpret_cast<const char*>(data), size);
                largest = std::max(largest, size);
                return !c.refuse;
            },
            network::AsyncHTTPConnection::kSinkPieceSize, c.takes);
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

// A coded body reaches the sink while it arrives, decoded, in bounded
// pieces: with all but its last bytes sent, and the response still open,
// the sink has taken most of the decoded body. Nothing waits for the end.
TEST(AsyncHTTPConnectionTest, ACodedBodyReachesTheSinkBeforeItEnds) {
    using namespace std::chrono_literals;
    const std::string text = testsupport::compressibleText(std::size_t{4} << 20);
    const std::string coded = testsupport::compressed(text, 31);
    const std::string start = coded.substr(0, coded.size() - 64);
    struct Case {
        const char* name;
        std::string answer;  // the coded body without its end, and kept open
        std::size_t largestPiece;
    };
    const Case cases[] = {
        {"content coding",
         "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
             std::to_string(coded.size()) + "\r\n\r\n" + start,
         network::HTTPBodyDecoder::kPieceSize},
        {"transfer coding",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n" + Chunked(start, 8000, false),
         network::AsyncHTTPConnection::kSinkPieceSize + network::HTTPBodyDecoder::kPieceSize},
    };
    std::vector<std::vector<networktest::PeerStep>> script;
    for (const auto& c : cases) {
        script.push_back({{c.answer}});
    }
    networktest::HTTPTestPeer peer(script);
    ASSERT_NE(peer.port(), 0);
    networktest::SocketTestLoop loop;
    for (const auto& c : cases) {
        auto connection = networktest::OnDemandConnection(loop);
        std::string sunk;
        std::size_t largest = 0;
        connection->SetBodySink([&](const unsigned char* data, std::size_t size) {
            sunk.append(reinterpret_cast<const char*>(data), size);
            largest = std::max(largest, size);
            return true;
        });
        bool done = false;
        connection->Submit(peer.url("/"),
                           [&](network::HTTPStatusCode, std::unique_ptr<network::IHTTPResponse>) {
                               done = true;
                           });
        EXPECT_TRUE(loop.runUntil([&] { return sunk.size() >= text.size() / 2 || done; }, 20s))
            << c.name << ": the sink took " << sunk.size() << " bytes";
        EXPECT_FALSE(done) << c.name << ": the response ended";
        EXPECT_TRUE(text.compare(0, sunk.size(), sunk) == 0) << c.name << ": not the decoded text";
        EXPECT_LE(largest, c.largestPiece) << c.name;
        connection->Abort();
        EXPECT_TRUE(loop.runUntil([&] { return done; }, 5s)) << c.name;
    }
}
