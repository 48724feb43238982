#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "network/AsyncHTTPConnection.h"
#include "network/AsyncNetworkFactory.h"
#include "network/Base64.h"
#include "platform/security/TrustedCertificates.h"
#include "support/HTTPTestPeer.h"
#include "support/LogCapture.h"
#include "support/ProxyTestSupport.h"
#include "support/ScriptServer.h"
#include "support/SocketTestLoop.h"
#include "support/SocketTestPeer.h"
#include "support/SquidProxy.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using network::ITCPSocket;
using networktest::HTTPTestPeer;
using networktest::PeerStep;
using networktest::probe;
using networktest::SocketTestLoop;
using networktest::TestProxyAuthenticator;
using testsupport::runLogged;

// What the socket's proxy-authentication signal carried, one digit per 407.
void RecordMethods(SocketTestLoop& loop, std::string& methods) {
    loop.connectivity->GetSignals().proxyAuthentication.connect(
        [&methods](network::SocketSignals::ProxyAuthenticationMethod method) {
            methods += std::to_string(static_cast<int>(method));
        });
}

// Connects through the proxy and logs "connect=<code> methods=<signals>"; then,
// when connected and `echo` is given, sends it and logs "echo=<answer>".
void TunnelAndReport(SocketTestLoop& loop, const std::shared_ptr<IProxyAuthenticator>& authenticator,
                     const std::string& host, int port, bool tls, std::uint16_t proxyPort,
                     const std::string& echo = {}) {
    std::string methods;
    RecordMethods(loop, methods);
    auto socket = std::make_shared<network::AsyncTCPSocket>(loop.service, loop.tls, authenticator,
                                                            loop.connectivity);
    int code = -1;
    socket->AsyncConnect(host, static_cast<std::uint16_t>(port), tls, "127.0.0.1", proxyPort,
                         [&](ITCPSocket::ErrorCode c) { code = static_cast<int>(c); });
    loop.runUntil([&] { return code != -1; }, 30s);
    probe("connect=" + std::to_string(code) + " methods=" + methods);
    if (code != 0 || echo.empty()) {
        return;
    }
    std::string answer;
    socket->AsyncWrite(network::CBYTESubBuffer(network::ByteBuffer(
                           reinterpret_cast<const unsigned char*>(echo.data()), echo.size())),
                       [](ITCPSocket::ErrorCode, std::uint64_t) {});
    socket->AsyncRead(echo.size(), [&](ITCPSocket::ErrorCode c, network::CBYTESubBuffer&& data) {
        answer = c == 0 ? std::string(reinterpret_cast<const char*>(data.Data()), data.size)
                        : "error " + std::to_string(c);
    });
    loop.runUntil([&] { return !answer.empty(); });
    probe("echo=" + answer);
}

// No credentials of `pairs` ("user:password") in Base64 anywhere in the log.
void ExpectNoBase64Credentials(const testsupport::LoggedRun& run,
                               const std::vector<std::string>& pairs) {
    for (const auto& pair : pairs) {
        EXPECT_EQ(std::string::npos, run.text().find(network::Base64Encode(pair)))
            << pair << " is in the log:\n" << run.text();
    }
}

class ProxyTunnelTest : public ::testing::Test {
protected:
    void SetUp() override {
        certificates_ = std::make_unique<networktest::TestCertificates>(folder_.path());
    }

    networktest::SocketTestPeer peer(const std::string& mode, const std::string& cert = {}) {
        return networktest::StartSocketTestPeer(mode, certificates_.get(), cert);
    }

    testsupport::TempDir folder_{"network-proxy"};
    std::unique_ptr<networktest::TestCertificates> certificates_;
};

TEST_F(ProxyTunnelTest, SquidOfferingBasicAndDigestGetsDigestAndTheTunnelVerifiesTheTarget) {
    if (!SquidProxy::installed()) {
        GTEST_SKIP() << SquidProxy::kSquid << " is not installed";
    }
    certificates_->make("target", {"target.test", {"target.test"}});
    const auto [echo, port] = peer("echo", "target");
    SquidProxy squid("anna", "open-sesame", static_cast<std::uint16_t>(port),
                     SquidProxy::Schemes::BasicAndDigest);
    ASSERT_TRUE(squid.ready()) << squid.log();
    // Trusting the test CA the tunnel carries TLS to the target; trusting
    // only the target's own certificate, which no CA vouches for, it fails.
    for (const bool trusted : {true, false}) {
        const auto run = runLogged([&] {
            platform::security::TrustedCertificates::setSearchList(
                {trusted ? certificates_->caFile() : certificates_->certificateFile("target")});
            SocketTestLoop loop;
            TestProxyAuthenticator proxy(L"anna", L"open-sesame");
            TunnelAndReport(loop, proxy.authenticator, "target.test", port, true, squid.port(),
                            "ping");
            return 0;
        });
        EXPECT_TRUE(run.has("info", "Probe", trusted ? "connect=0 methods=2" : "connect=3 methods=2"))
            << run.text() << squid.log();
        EXPECT_EQ(trusted ? 1 : 0, run.count("info", "Probe", "echo=ping")) << run.text();
        EXPECT_TRUE(run.has("info", "AsyncTCPSocket",
                            "Proxy authentication in progress with foundation. Authentication "
                            "method: Digest ."))
            << run.text();
        EXPECT_TRUE(run.has("debug", "AsyncTCPSocket", "Proxy responds to HTTP CONNECT with status 200"))
            << run.text();
        ExpectNoBase64Credentials(run, {"anna:open-sesame"});
    }
}

TEST_F(ProxyTunnelTest, SquidRefusesAWrongPasswordWith407AndTakesTheChangedOneNextTime) {
    if (!SquidProxy::installed()) {
        GTEST_SKIP() << SquidProxy::kSquid << " is not installed";
    }
    for (const auto schemes : {SquidProxy::Schemes::Basic, SquidProxy::Schemes::BasicAndDigest}) {
        const bool digest = schemes == SquidProxy::Schemes::BasicAndDigest;
        SCOPED_TRACE(digest ? "Digest" : "Basic");
        HTTPTestPeer target({{{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}}});
        SquidProxy squid("anna", "open-sesame", static_cast<std::uint16_t>(target.port()), schemes);
        ASSERT_TRUE(squid.ready()) << squid.log();
        const auto run = runLogged([&] {
            SocketTestLoop loop;
            TestProxyAuthenticator proxy(L"anna", L"wrong", squid.address());
            auto connection = network::AsyncHTTPConnection::Create(
                loop.service, loop.tls, proxy.authenticator, loop.connectivity,
                std::make_shared<network::HTTPCookieStore>());
            const auto url = target.url("/", "target.test");
            const auto first = networktest::Fetch(loop, connection, url);
            proxy.authenticator->setCredentials(L"anna", L"open-sesame");
            const auto second = networktest::Fetch(loop, connection, url);
            probe("first=" + std::to_string(first.code) + " second=" +
                  std::to_string(second.code) + ":" + second.body);
            return 0;
        });
        EXPECT_TRUE(run.has("info", "Probe", "first=407 second=200:ok")) << run.text() << squid.log();
        EXPECT_EQ(digest ? 1 : 0,
                  run.countPart("error", "AsyncTCPSocket", "refuses the credentials; giving up"))
            << run.text();
        ExpectNoBase64Credentials(run, {"anna:open-sesame", "anna:wrong"});
    }
}

TEST_F(ProxyTunnelTest, TinyproxyClosingAfterIts407IsAskedAgainOnANewConnection) {
    if (!networktest::TinyProxy::installed()) {
        GTEST_SKIP() << networktest::TinyProxy::kTinyproxy << " is not installed";
    }
    const auto [echo, port] = peer("echo");
    networktest::TinyProxy tinyproxy("anna", "open-sesame", static_cast<std::uint16_t>(port));
    ASSERT_TRUE(tinyproxy.ready()) << tinyproxy.log();
    const auto run = runLogged([&] {
        SocketTestLoop loop;
        TestProxyAuthenticator proxy(L"anna", L"open-sesame");
        TunnelAndReport(loop, proxy.authenticator, "127.0.0.1", port, false, tinyproxy.port(), "ping");
        return 0;
    });
    EXPECT_TRUE(run.has("info", "Probe", "connect=0 methods=1")) << run.text() << tinyproxy.log();
    EXPECT_TRUE(run.has("info", "Probe", "echo=ping")) << run.text();
    EXPECT_EQ(2, run.count("debug", "AsyncTCPSocket",
                           "Opening socket to 127.0.0.1:" + std::to_string(tinyproxy.port())))
        << run.text();
    ExpectNoBase64Credentials(run, {"anna:open-sesame"});
}

TEST_F(ProxyTunnelTest, ScriptedProxyAnswersEndTheConnectAsTheyShould) {
    const std::string challenge = "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n";
    const std::string digest = challenge + "Proxy-Authenticate: Digest realm=\"d\", nonce=\"n1\"\r\n";
    const std::string opened = "HTTP/1.1 200 Connection established\r\n";
    struct Case {
        std::string name;
        std::vector<std::vector<PeerStep>> script;
        std::wstring password;
        std::string outcome;   // logged by the scenario
        std::size_t requests;  // CONNECT requests the proxy read
        std::string lastRequestHas;
        std::string logLine;  // an error or debug line of the socket, when given
    };
    const std::vector<Case> cases{
        {"403", {{{"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"}}}, L"secret",
         "connect=5 methods=", 1, "CONNECT target.test:443 HTTP/1.1\r\n", ""},
        {"407 without a challenge", {{{challenge + "\r\n"}}}, L"secret", "connect=5 methods=", 1, "",
         "Proxy offers no authentication methods."},
        {"NTLM and Negotiate only",
         {{{challenge + "Proxy-Authenticate: NTLM\r\nProxy-Authenticate: Negotiate abc\r\n\r\n"}}},
         L"secret", "connect=5 methods=", 1, "",
         "Proxy offers authentication methods ntlm, negotiate but none are supported by the "
         "socket implementation."},
        {"endless Digest",
         {std::vector<PeerStep>(6, {digest + "\r\n"})}, L"secret", "connect=4 methods=22", 2,
         "Proxy-Authorization: Digest username=\"anna\", realm=\"d\", nonce=\"n1\", "
         "uri=\"target.test:443\", qop=auth, nc=00000001, cnonce=\"",
         "Proxy <127.0.0.1:"},
        {"endless stale Digest",
         {std::vector<PeerStep>(6, {challenge + "Proxy-Authenticate: Digest nonce=\"n\", stale=true\r\n\r\n"})},
         L"secret", "connect=4 methods=222", 3, "Proxy-Authorization: Digest ", ""},
        {"Basic then Digest offered",
         {{{challenge + "Proxy-Authenticate: Basic realm=\"b\"\r\n" +
            "Proxy-Authenticate: Digest realm=\"d\", nonce=\"n1\"\r\n\r\n"},
           {opened + "\r\n"}}},
         L"secret", "connect=0 methods=2", 2, "Proxy-Authorization: Digest username=\"anna\"",
         "Instantiating new service for authentication scheme Digest"},
        {"Basic and Digest in one field",
         {{{challenge +
            "Proxy-Authenticate: Basic realm=\"b\", Digest realm=\"d\", nonce=\"n1\"\r\n\r\n"},
           {opened + "\r\n"}}},
         L"secret", "connect=0 methods=2", 2,
         "Proxy-Authorization: Digest username=\"anna\", realm=\"d\", nonce=\"n1\"",
         "Instantiating new service for authentication scheme Digest"},
        {"Digest given up for Basic",
         {{{digest + "\r\n"}, {challenge + "Proxy-Authenticate: Basic realm=\"b\"\r\n\r\n"}, {opened + "\r\n"}}},
         L"secret", "connect=0 methods=21", 3, "Proxy-Authorization: Basic ",
         "Abandoning previous authentication scheme Digest"},
        {"schemes alternating for ever",
         {{{digest + "\r\n"}, {challenge + "Proxy-Authenticate: Basic realm=\"b\"\r\n\r\n"},
           {digest + "\r\n"}, {challenge + "Proxy-Authenticate: Basic realm=\"b\"\r\n\r\n"},
           {digest + "\r\n"}, {opened + "\r\n"}}},
         L"secret", "connect=4 methods=2121", 4, "Proxy-Authorization: Digest ", ""},
        {"a password with a line break",
         {{{challenge + "Proxy-Authenticate: Basic realm=\"b\"\r\n\r\n"}}}, L"sec\nret",
         "connect=4 methods=1", 1, "", ""},
        // A NUL in a header value makes the whole answer malformed.
        {"a challenge holding NUL",
         {{{challenge + "Proxy-Authenticate: Digest realm=\"d\", nonce=\"n\0x\"\r\n\r\n"s}}},
         L"secret", "connect=5 methods=", 1, "", ""},
        {"200 with a body announced", {{{opened + "Content-Length: 100\r\n\r\n"}}}, L"secret",
         "connect=0 methods=", 1, "", ""},
        {"200 chunked", {{{opened + "Transfer-Encoding: chunked\r\n\r\n"}}}, L"secret",
         "connect=0 methods=", 1, "", ""},
        // A refusal's body is dropped unread: one that would not decode
        // leaves the challenge to be answered.
        {"407 with a body that does not decode",
         {{{"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"b\"\r\n"
            "Content-Encoding: gzip\r\nContent-Length: 8\r\n\r\nnot gzip"},
           {opened + "\r\n"}}},
         L"secret", "connect=0 methods=1", 2, "Proxy-Authorization: Basic ", ""},
        {"403 with a body that does not decode",
         {{{"HTTP/1.1 403 Forbidden\r\nContent-Encoding: gzip\r\nContent-Length: 8\r\n\r\nnot gzip"}}},
         L"secret", "connect=5 methods=", 1, "", "Proxy responds to HTTP CONNECT with status 403"},
        {"302 to the same target",
         {{{"HTTP/1.1 302 Found\r\nLocation: http://target.test:443/\r\nContent-Length: 0\r\n\r\n"},
           {opened + "\r\n"}}},
         L"secret", "connect=5 methods=", 1, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HTTPTestPeer proxyPeer(c.script);
        const auto run = runLogged([&] {
            SocketTestLoop loop;
            TestProxyAuthenticator proxy(L"anna", c.password);
            const auto start = std::chrono::steady_clock::now();
            TunnelAndReport(loop, proxy.authenticator, "target.test", 443, false,
                            static_cast<std::uint16_t>(proxyPeer.port()));
            probe(std::chrono::steady_clock::now() - start < 5s ? "in time" : "late");
            return 0;
        });
        EXPECT_TRUE(run.has("info", "Probe", c.outcome)) << run.text();
        EXPECT_TRUE(run.has("info", "Probe", "in time")) << run.text();
        const auto requests = proxyPeer.requests();
        ASSERT_EQ(c.requests, requests.size()) << run.text();
        EXPECT_NE(std::string::npos, requests.back().second.find(c.lastRequestHas))
            << requests.back().second;
        if (!c.logLine.empty()) {
            EXPECT_TRUE(run.hasPart("error", "AsyncTCPSocket", c.logLine) ||
                        run.hasPart("debug", "AsyncTCPSocket", c.logLine))
                << run.text();
        }
        ExpectNoBase64Credentials(run, {"anna:secret"});
    }
}

// What came in with the proxy's 200 is the tunnelled peer's: a server that
// speaks first loses nothing (as with curl), on a socket of the network
// factory; through TLS the same bytes go to the TLS engine, which takes them
// for the server's first records and fails on them, as curl does.
TEST_F(ProxyTunnelTest, BytesThatCameWithTheProxysAnswerAreTheTunnelsFirstBytes) {
    certificates_->make("target", {"target.test", {"target.test"}});
    const auto [plainEcho, plainPort] = peer("echo");
    const auto [tlsEcho, tlsPort] = peer("echo", "target");
    networktest::TunnelTestProxy proxy({}, "", "", "HELLO");
    const auto run = runLogged([&] {
        platform::security::TrustedCertificates::setSearchList({certificates_->caFile()});
        SocketTestLoop loop;
        TestProxyAuthenticator authenticator(L"", L"");
        network::AsyncNetworkFactory factory(loop.service, authenticator.authenticator);
        auto socket = factory.CreateTCPSocket();
        int code = -1;
        socket->AsyncConnect("127.0.0.1", static_cast<std::uint16_t>(plainPort), false, "127.0.0.1",
                             proxy.port(), [&](ITCPSocket::ErrorCode c) { code = static_cast<int>(c); });
        loop.runUntil([&] { return code != -1; });
        std::string read;
        const auto readSome = [&](std::size_t size) {
            bool done = false;
            socket->AsyncRead(size, [&](ITCPSocket::ErrorCode c, network::CBYTESubBuffer&& data) {
                read += c == 0 ? std::string(reinterpret_cast<const char*>(data.Data()), data.size)
                               : "<error " + std::to_string(c) + ">";
                done = true;
            });
            loop.runUntil([&] { return done; });
        };
        readSome(2);
        readSome(3);
        socket->AsyncWrite(network::CBYTESubBuffer(network::ByteBuffer(
                               reinterpret_cast<const unsigned char*>("ping"), 4)),
                           [](ITCPSocket::ErrorCode, std::uint64_t) {});
        readSome(4);
        probe("plain: connect=" + std::to_string(code) + " read=" + read);
        TunnelAndReport(loop, authenticator.authenticator, "target.test", tlsPort, true, proxy.port(),
                        "ping");
        return 0;
    });
    EXPECT_TRUE(run.has("info", "Probe", "plain: connect=0 read=HELLOping")) << run.text();
    EXPECT_TRUE(run.has("info", "Probe", "connect=3 methods=")) << run.text();
    const std::string target = "target.test:" + std::to_string(tlsPort);
    const auto curl = testsupport::runCommand(
        {"/usr/bin/curl", "-sS", "-p", "-x", proxy.address(), "--cacert", certificates_->caFile(),
         "--resolve", target + ":127.0.0.1", "-m", "20", "-o", "/dev/null", "https://" + target + "/"});
    EXPECT_EQ(35, curl.exitCode) << "curl: " << curl.errors;
}

// Digest answers the first challenge it can: one with a nonce, the quality
// of protection "auth" and the algorithm MD5, SHA-256 or a session variant
// of them (RFC 7616); it passes over the others, for Basic when nothing else
// is left. The proxy checks the answer; curl gets through it alike.
TEST_F(ProxyTunnelTest, DigestAnswersTheFirstChallengeItCan) {
    const auto digest = [](const std::string& rest) {
        return "Digest realm=\"quorvane\", nonce=\"{nonce}\", qop=\"auth\"" + rest;
    };
    struct Case {
        std::string name;
        std::vector<std::string> challenges;
        network::HTTPStatusCode code;
        std::string answered;  // in the last CONNECT's authorization
        bool curlDigest;       // curl --proxy-digest gets through as well
    };
    const std::vector<Case> cases{
        {"SHA-256 before MD5", {digest(", algorithm=SHA-256"), digest(", algorithm=MD5")}, 200,
         "algorithm=SHA-256", true},
        {"MD5-sess", {digest(", algorithm=MD5-sess")}, 200, "algorithm=MD5-sess", true},
        {"SHA-256-sess", {digest(", algorithm=SHA-256-sess")}, 200, "algorithm=SHA-256-sess", true},
        {"no algorithm", {digest("")}, 200, "Digest username=", true},
        {"an unknown algorithm before MD5", {digest(", algorithm=SHA3-256"), digest(", algorithm=MD5")},
         200, "algorithm=MD5", false},
        {"no nonce before Basic",
         {"Digest realm=\"quorvane\", qop=\"auth\"", "Basic realm=\"quorvane\""}, 200, "Basic ", false},
        {"auth-int only", {"Digest realm=\"q\", nonce=\"{nonce}\", qop=\"auth-int\""}, 3, "", false},
        {"an unknown algorithm only", {digest(", algorithm=SHA3-256")}, 3, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HTTPTestPeer target({{{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}},
                             {{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}}});
        networktest::TunnelTestProxy proxy(c.challenges, "anna", "open-sesame");
        const auto run = runLogged([&] {
            SocketTestLoop loop;
            TestProxyAuthenticator authenticator(L"anna", L"open-sesame", proxy.address());
            auto connection = network::AsyncHTTPConnection::Create(
                loop.service, loop.tls, authenticator.authenticator, loop.connectivity,
                std::make_shared<network::HTTPCookieStore>());
            const auto fetched = networktest::Fetch(loop, connection, target.url("/", "target.test"));
            probe("fetched=" + std::to_string(fetched.code) + ":" + fetched.body);
            return 0;
        });
        EXPECT_TRUE(run.has("info", "Probe",
                            "fetched=" + std::to_string(c.code) + (c.code == 200 ? ":ok" : ":")))
            << run.text() << proxy.connects();
        const auto connects = testsupport::splitLines(proxy.connects());
        ASSERT_FALSE(connects.empty());
        if (!c.answered.empty()) {
            EXPECT_NE(std::string::npos, connects.back().find(c.answered)) << proxy.connects();
        }
        if (c.curlDigest) {
            const auto curl = testsupport::runCommand(
                {"/usr/bin/curl", "-sS", "-p", "-x", proxy.address(), "--proxy-digest", "-U",
                 "anna:open-sesame", "--resolve", "target.test:" + std::to_string(target.port()) +
                 ":127.0.0.1", "-m", "20", "-o", "/dev/null", "-w", "%{http_code}",
                 target.url("/", "target.test")});
            EXPECT_EQ("200", curl.output) << "curl: " << curl.errors;
        }
    }
}

// Credentials changed between two refusals within one connect are offered
// at once, Basic and Digest alike; unchanged ones end the connect with 4.
TEST_F(ProxyTunnelTest, ChangedCredentialsAreOfferedAgainWithinOneConnect) {
    const std::string challenge =
        "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\nProxy-Authenticate: ";
    const std::string basic = challenge + "Basic realm=\"b\"\r\n\r\n";
    const std::string digest = challenge + "Digest realm=\"d\", nonce=\"n\"\r\n\r\n";
    const std::string opened = "HTTP/1.1 200 Connection established\r\n\r\n";
    struct Case {
        std::string name;
        std::string refusal;
        bool change;  // the password changes at the second 407
        std::string outcome;
        std::size_t requests;
        std::string lastRequestHas;
    };
    const std::vector<Case> cases{
        {"Basic, changed", basic, true, "connect=0 methods=11", 3,
         "Proxy-Authorization: Basic " + network::Base64Encode("anna:changed")},
        {"Basic, unchanged", basic, false, "connect=4 methods=11", 2,
         "Proxy-Authorization: Basic " + network::Base64Encode("anna:secret")},
        {"Digest, changed", digest, true, "connect=0 methods=22", 3, "Proxy-Authorization: Digest "},
        {"Digest, unchanged", digest, false, "connect=4 methods=22", 2, "Proxy-Authorization: Digest "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HTTPTestPeer proxyPeer({{{c.refusal}, {c.refusal}, {opened}}});
        const auto run = runLogged([&] {
            SocketTestLoop loop;
            TestProxyAuthenticator proxy(L"anna", L"secret");
            int refusals = 0;
            loop.connectivity->GetSignals().proxyAuthentication.connect(
                [&](network::SocketSignals::ProxyAuthenticationMethod) {
                    if (++refusals == 2 && c.change) {
                        proxy.authenticator->setCredentials(L"anna", L"changed");
                    }
                });
            TunnelAndReport(loop, proxy.authenticator, "target.test", 443, false,
                            static_cast<std::uint16_t>(proxyPeer.port()));
            return 0;
        });
        EXPECT_TRUE(run.has("info", "Probe", c.outcome)) << run.text();
        const auto requests = proxyPeer.requests();
        ASSERT_EQ(c.requests, requests.size()) << run.text();
        EXPECT_NE(std::string::npos, requests.back().second.find(c.lastRequestHas))
            << requests.back().second;
    }
}

}  // namespace
