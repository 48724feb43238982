#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/HTTPConnectionTestSupport.h"

namespace {

using networktest::Fetch;
using networktest::HTTPTestPeer;
using networktest::Ok;
using networktest::OnDemandConnection;
using networktest::PeerStep;
using networktest::Request;
using networktest::SocketTestLoop;

std::string Redirect(int status, const std::string& location) {
    return "HTTP/1.1 " + std::to_string(status) + " Moved\r\nLocation: " + location +
           "\r\nContent-Length: 0\r\n\r\n";
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

    // The caller's length of the body goes as the library's, once.
    const auto landed = Fetch(loop, connection, peer.url("/post"),
                              Request(connection, "POST", "form", {{"Content-Length", "4"}}));
    EXPECT_EQ(landed.code, 200u);
    EXPECT_EQ(landed.body, "landed");
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 10u);
    EXPECT_EQ(requests[5].second.rfind("GET /r5 HTTP/1.1\r\n", 0), 0u) << requests[5].second;
    EXPECT_EQ(requests[7].second.rfind("POST /p HTTP/1.1\r\n", 0), 0u) << requests[7].second;
    EXPECT_NE(requests[7].second.find("\r\n\r\nform"), std::string::npos);
    const auto length = requests[7].second.find("Content-Length: 4\r\n");
    EXPECT_NE(length, std::string::npos) << requests[7].second;
    EXPECT_EQ(requests[7].second.find("Content-Length", length + 1), std::string::npos)
        << requests[7].second;
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
                                      {"Proxy-Authorization", "Basic eA=="}, {"X-Kept", "1"},
                                      {"Host", "origin.test"}}));
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
    // The caller's Host in place of the library's, for the first origin only.
    EXPECT_EQ(requests[2].second.rfind("GET /go HTTP/1.1\r\nHost: origin.test\r\n", 0), 0u)
        << requests[2].second;
    EXPECT_EQ(requests[2].second.find("Host:", 20), std::string::npos) << requests[2].second;
    const std::string& moved = requests[3].second;
    EXPECT_EQ(requests[3].first, 1);
    EXPECT_EQ(moved.rfind("GET /x HTTP/1.1\r\nHost: localhost:", 0), 0u) << moved;
    EXPECT_EQ(moved.find("Authorization"), std::string::npos) << moved;
    EXPECT_EQ(moved.find("Cookie"), std::string::npos) << moved;
    EXPECT_EQ(moved.find("origin.test"), std::string::npos) << moved;
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
        // A scheme is case-insensitive; a path is not.
        {"HTTP://127.0.0.1:{port}/Up", "GET /Up HTTP/1.1"},
        {"/Up:x", "GET /Up:x HTTP/1.1"},
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

}  // namespace
