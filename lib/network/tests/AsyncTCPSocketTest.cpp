#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <boost/asio/post.hpp>
#include <openssl/x509.h>

#include "network/SocketSignals.h"
#include "platform/security/TrustedCertificates.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/ScriptServer.h"
#include "support/SocketTestLoop.h"
#include "support/SocketTestPeer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

namespace {

using namespace std::chrono_literals;
using network::ITCPSocket;
using networktest::probe;
using networktest::SocketTestLoop;
using testsupport::runLogged;

// A resolver that answers every look-up with fixed addresses.
class FixedResolver : public network::HostResolver {
public:
    FixedResolver(std::shared_ptr<network::AsyncService> service, std::vector<std::string> addresses)
        : HostResolver(service), addresses_(std::move(addresses)) {}

    void Resolve(const network::Endpoint& target, Callback callback) override {
        std::deque<network::ResolvedEndpoint> endpoints;
        for (const auto& a : addresses_) {
            endpoints.push_back({boost::asio::ip::make_address(a), target.port});
        }
        boost::asio::post(service_->GetIOContext(),
                          [callback, endpoints]() mutable { callback({}, std::move(endpoints)); });
    }

private:
    std::vector<std::string> addresses_;
};

// Connects and logs "connect=<code>".
void connectAndReport(const SocketTestLoop& loop, const std::shared_ptr<network::AsyncTCPSocket>& socket,
                      const std::string& host, int port, bool tls) {
    int code = -1;
    socket->AsyncConnect(host, static_cast<std::uint16_t>(port), tls,
                         [&](ITCPSocket::ErrorCode c) { code = static_cast<int>(c); });
    loop.runUntil([&] { return code != -1; });
    probe("connect=" + std::to_string(code));
}

class AsyncTCPSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        certificates_ = std::make_unique<networktest::TestCertificates>(folder_.path());
        certificates_->make("localhost", {"localhost", {"localhost"}});
    }

    networktest::SocketTestPeer peer(const std::string& mode, const std::string& cert = {},
                                     const std::vector<std::string>& extra = {}) {
        return networktest::StartSocketTestPeer(mode, certificates_.get(), cert, extra);
    }

    testsupport::TempDir folder_{"network-socket"};
    std::unique_ptr<networktest::TestCertificates> certificates_;
};

TEST_F(AsyncTCPSocketTest, ConnectOutcomes) {
    const auto [echo, port] = peer("echo");
    const int closed = 1;  // nothing listens on it
    const std::string ports = std::to_string(port);

    // A name whose first address refuses falls back to the next.
    auto run = runLogged([&] {
        SocketTestLoop loop;
        auto socket = loop.socket();
        socket->SetResolver(std::make_shared<FixedResolver>(loop.service,
                                                            std::vector<std::string>{"::1", "127.0.0.1"}));
        connectAndReport(loop, socket, "localhost", port, false);
        return 0;
    });
    EXPECT_TRUE(run.has("info", "Probe", "connect=0")) << run.text();
    EXPECT_TRUE(run.hasPart("error", "AsyncTCPSocket",
                            "TCP connection failed when connecting to <::1:" + ports + ">; reason: "))
        << run.text();
    EXPECT_TRUE(run.has("debug", "AsyncTCPSocket", "Opening socket to 127.0.0.1:" + ports)) << run.text();
    EXPECT_EQ(2, run.count("debug", "AsyncTCPSocket", "Connecting to ::1:" + ports) +
                     run.count("debug", "AsyncTCPSocket", "Connecting to 127.0.0.1:" + ports));

    struct Case {
        std::string host;
        int port;
        bool disabled;
        std::string outcome;
        bool opens;
    };
    for (const auto& c : std::vector<Case>{{"127.0.0.1", closed, false, "connect=2", true},
                                           {"no-such-host.invalid", port, false, "connect=1", false},
                                           {"127.0.0.1", port, true, "connect=10", false},
                                           {"localhost", port, true, "connect=10", false}}) {
        run = runLogged([&] {
            SocketTestLoop loop;
            loop.connectivity->SetDisabled(c.disabled);
            auto socket = loop.socket();
            connectAndReport(loop, socket, c.host, c.port, false);
            if (c.disabled) {
                int read = -1, write = -1, empty = -1;
                socket->AsyncRead(4, [&](ITCPSocket::ErrorCode code, network::CBYTESubBuffer&&) { read = code; });
                socket->AsyncRead(0, [&](ITCPSocket::ErrorCode code, network::CBYTESubBuffer&&) { empty = code; });
                socket->AsyncWrite(network::CBYTESubBuffer(network::ByteBuffer(
                                       reinterpret_cast<const unsigned char*>("x"), 1)),
                                   [&](ITCPSocket::ErrorCode code, std::uint64_t) { write = code; });
                probe("read=" + std::to_string(read) + " write=" + std::to_string(write) +
                      " empty=" + std::to_string(empty));
            }
            return 0;
        });
        const auto shown = c.host + ":" + std::to_string(c.port) + (c.disabled ? " disabled" : "");
        EXPECT_TRUE(run.has("info", "Probe", c.outcome)) << shown << "\n" << run.text();
        EXPECT_EQ(c.opens, run.hasPart("debug", "AsyncTCPSocket", "Opening socket to")) << shown;
        if (c.disabled) {
            EXPECT_TRUE(run.has("info", "Probe", "read=10 write=10 empty=0")) << run.text();
            EXPECT_EQ(0, run.countOnChannel("HostResolver")) << "looked up without a network";
        }
    }
}

TEST_F(AsyncTCPSocketTest, UrgentWritesPassQueuedOnesAndAllCompleteOnce) {
    const std::string out = folder_.path() + "/received";
    const auto [recorder, port] = peer("record", {}, {"--out", out});
    const std::size_t bigSize = 1 << 20;
    const auto run = runLogged([&] {
        SocketTestLoop loop;
        auto socket = loop.socket();
        connectAndReport(loop, socket, "127.0.0.1", port, false);
        std::string order;
        int calls = 0;
        auto write = [&](const std::string& text, int priority) {
            auto callback = [&, text](ITCPSocket::ErrorCode code, std::uint64_t bytes) {
                ++calls;
                order += (text.empty() ? "E" : text.substr(0, 1)) + std::to_string(code) + "/" +
                         std::to_string(bytes) + " ";
            };
            network::CBYTESubBuffer buffer(
                network::ByteBuffer(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
            if (priority < 0) {
                socket->AsyncWrite(std::move(buffer), callback);
            } else {
                socket->AsyncWrite(std::move(buffer), priority == 1, callback);
            }
        };
        write(std::string(bigSize, 'w'), 0);
        write("", 0);
        write("AAAA", 0);
        write("BBBB", 1);
        write("CCCC", 1);
        write("DDDD", -1);
        loop.runUntil([&] { return calls == 6; });
        probe("order " + order);
        bool closed = false;
        socket->AsyncClose([&](ITCPSocket::ErrorCode) { closed = true; });
        loop.runUntil([&] { return closed; });
        return 0;
    });
    EXPECT_TRUE(run.has("info", "Probe",
                        "order w0/" + std::to_string(bigSize) + " B0/4 C0/4 D0/4 E0/0 A0/4 "))
        << run.text();
    std::string received;
    for (int i = 0; i < 500 && received.size() < bigSize + 16; ++i) {
        std::this_thread::sleep_for(20ms);
        received = testsupport::readFile(out);
    }
    ASSERT_EQ(bigSize + 16, received.size());
    EXPECT_EQ("BBBBCCCCDDDDAAAA", received.substr(bigSize));
}

TEST_F(AsyncTCPSocketTest, CloseAndFailureCompleteEveryQueuedWriteOnce) {
    const auto [staller, port] = peer("stall");
    for (const bool byTimeout : {false, true}) {
        const auto run = runLogged([&] {
            SocketTestLoop loop;
            auto socket = loop.socket();
            socket->SetTimeout(byTimeout ? 300 : 15000);
            connectAndReport(loop, socket, "127.0.0.1", port, false);
            std::string codes;
            int calls = 0;
            for (const std::size_t size : {std::size_t(64) << 20, std::size_t(4), std::size_t(0)}) {
                socket->AsyncWrite(network::CBYTESubBuffer(network::ByteBuffer(size)), false,
                                   [&](ITCPSocket::ErrorCode code, std::uint64_t) {
                                       ++calls;
                                       codes += std::to_string(code) + " ";
                                   });
            }
            int closed = -1;
            if (!byTimeout) {
                loop.runUntil([] { return false; }, 200ms);
                socket->AsyncClose([&](ITCPSocket::ErrorCode code) { closed = code; });
            }
            loop.runUntil([&] { return calls >= 3 && (byTimeout || closed != -1); });
            loop.runUntil([] { return false; }, 100ms);
            probe("writes " + codes + "calls=" + std::to_string(calls) + " close=" + std::to_string(closed));
            return 0;
        });
        const std::string expected = byTimeout ? "writes 6 6 6 calls=3 close=-1" : "writes 9 9 9 calls=3 close=0";
        EXPECT_TRUE(run.has("info", "Probe", expected)) << (byTimeout ? "time-out" : "close") << "\n" << run.text();
    }
}

TEST_F(AsyncTCPSocketTest, CloseWithAPendingReadGivesNineThenZeroPlainAndTls) {
    for (const bool tls : {false, true}) {
        const auto [echo, port] = peer("echo", tls ? "localhost" : "");
        const auto run = runLogged([&] {
            platform::security::TrustedCertificates::setSearchList({certificates_->caFile()});
            SocketTestLoop loop;
            auto socket = loop.socket();
            // The second round runs on a new connection of the same socket.
            for (int round = 0; round < 2; ++round) {
                connectAndReport(loop, socket, "localhost", port, tls);
                std::string events;
                socket->AsyncWrite(network::CBYTESubBuffer(network::ByteBuffer(
                                       reinterpret_cast<const unsigned char*>("ping"), 4)),
                                   [](ITCPSocket::ErrorCode, std::uint64_t) {});
                socket->AsyncRead(4, [&](ITCPSocket::ErrorCode code, network::CBYTESubBuffer&& data) {
                    events += "echo=" + std::to_string(code) + ":" +
                              std::string(reinterpret_cast<const char*>(data.Data()), data.size) + " ";
                });
                loop.runUntil([&] { return !events.empty(); });
                socket->AsyncRead(1, [&](ITCPSocket::ErrorCode code, network::CBYTESubBuffer&&) {
                    events += "read=" + std::to_string(code) + " ";
                });
                socket->AsyncClose([&](ITCPSocket::ErrorCode code) {
                    events += "close=" + std::to_string(code);
                });
                loop.runUntil([&] { return events.find("close=") != std::string::npos; });
                probe(events + " connected=" + std::to_string(socket->IsConnected()));
            }
            probe(std::string("context made=") + (loop.tls->IsCreated() ? "yes" : "no"));
            return 0;
        });
        EXPECT_EQ(2, run.count("info", "Probe", "connect=0")) << (tls ? "TLS" : "plain") << "\n" << run.text();
        EXPECT_EQ(2, run.count("info", "Probe", "echo=0:ping read=9 close=0 connected=0"))
            << (tls ? "TLS" : "plain") << "\n" << run.text();
        EXPECT_EQ(tls ? 2 : 0, run.count("debug", "AsyncTCPSocket", "SSL handshake done"));
        // The TLS context is made, and the trust read, by the first handshake
        // only; plain sockets never set up either.
        EXPECT_EQ(tls ? 1 : 0, run.count("trace", "CertificateStoreManager",
                                         "Certificate imported: /CN=Quorvane Test CA"))
            << (tls ? "TLS" : "plain") << "\n" << run.text();
        EXPECT_TRUE(run.has("info", "Probe", tls ? "context made=yes" : "context made=no"))
            << run.text();
    }
}

// OpenSSL's default certificate file (here named through its environment
// override) is trusted beside the system's store, which is left empty.
TEST_F(AsyncTCPSocketTest, TheDefaultCertificateFileIsTrustedToo) {
    const auto [echo, port] = peer("echo", "localhost");
    for (const bool named : {false, true}) {
        const auto run = runLogged([&] {
            platform::security::TrustedCertificates::setSearchList({});
            if (named) {
                ::setenv(X509_get_default_cert_file_env(), certificates_->caFile().c_str(), 1);
            } else {
                ::unsetenv(X509_get_default_cert_file_env());
            }
            SocketTestLoop loop;
            connectAndReport(loop, loop.socket(), "localhost", port, true);
            return 0;
        });
        EXPECT_TRUE(run.has("info", "Probe", named ? "connect=0" : "connect=3"))
            << (named ? "named" : "not named") << "\n" << run.text();
    }
}

// Certificate names are matched as curl matches them: this client's
// handshake and curl's, against the same peer and trust, pass or fail
// together.
TEST_F(AsyncTCPSocketTest, CertificateNamesMatchAsCurlMatchesThem) {
    struct Case {
        std::vector<std::string> names;
        std::string host;  // resolved to 127.0.0.1 for both clients
        bool matches;
    };
    const Case cases[] = {
        {{"localhost"}, "localhost", true},
        {{"LOCALHOST"}, "localhost", true},
        {{"*"}, "localhost", false},
        {{"l*st"}, "localhost", false},
        {{"*host"}, "localhost", false},
        {{"*.localhost"}, "localhost", false},
        {{"other.test", "*"}, "localhost", false},
        {{"other.test", "localhost"}, "localhost", true},
        {{"*.example.test"}, "ab.example.test", true},
        {{"a*.example.test"}, "ab.example.test", false},
        {{"*b.example.test"}, "ab.example.test", false},
        {{"*.test"}, "example.test", false},
        {{"*.example.test"}, "x.ab.example.test", false},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string name = "names" + std::to_string(index++);
        certificates_->make(name, {"subject", c.names});
        const auto [server, port] = peer("echo", name);
        const auto run = runLogged([&] {
            platform::security::TrustedCertificates::setSearchList({certificates_->caFile()});
            SocketTestLoop loop;
            auto socket = loop.socket();
            socket->SetResolver(std::make_shared<FixedResolver>(
                loop.service, std::vector<std::string>{"127.0.0.1"}));
            connectAndReport(loop, socket, c.host, port, true);
            return 0;
        });
        const std::string label = testing::PrintToString(c.names) + " for " + c.host;
        EXPECT_TRUE(run.has("info", "Probe", c.matches ? "connect=0" : "connect=3"))
            << label << "\n" << run.text();
        if (!c.matches) {
            EXPECT_TRUE(run.has("warning", "verbose_verification_base", "Verifying /CN=subject fails"))
                << label << "\n" << run.text();
        }
        const auto [curlServer, curlPort] = peer("echo", name);
        const std::string target = c.host + ":" + std::to_string(curlPort);
        const auto curl = testsupport::runCommand(
            {"/usr/bin/curl", "-s", "-o", "/dev/null", "-m", "10", "--cacert", certificates_->caFile(),
             "--resolve", target + ":127.0.0.1", "https://" + target + "/"});
        ASSERT_TRUE(curl.exited) << label;
        // 60: the peer's certificate failed verification.
        EXPECT_EQ(curl.exitCode == 60, !c.matches) << label << " curl exit " << curl.exitCode;
    }
}

TEST_F(AsyncTCPSocketTest, CertificatesThatMustNotBeTrustedFailTheHandshake) {
    certificates_->make("expired", {"localhost", {"localhost"}, -7200, -3600});
    certificates_->make("selfsigned", {"localhost", {"localhost"}, -3600, 86400, false});
    certificates_->make("otherhost", {"other.test", {"other.test"}});
    struct Case {
        std::string cert;
        std::string outcome;
        std::string warning;  // a warning line of the verification
    };
    for (const auto& c : std::vector<Case>{
             {"localhost", "connect=0", ""},
             {"expired", "connect=3",
              "Pre-verify error with /CN=localhost, code 10: certificate has expired"},
             {"selfsigned", "connect=3",
              "Pre-verify error with /CN=localhost, code 18: self-signed certificate"},
             {"otherhost", "connect=3", "Verifying /CN=other.test fails"}}) {
        const auto [server, port] = peer("echo", c.cert);
        const auto run = runLogged([&] {
            platform::security::TrustedCertificates::setSearchList({certificates_->caFile()});
            SocketTestLoop loop;
            connectAndReport(loop, loop.socket(), "localhost", port, true);
            return 0;
        });
        EXPECT_TRUE(run.has("info", "Probe", c.outcome)) << c.cert << "\n" << run.text();
        if (c.warning.empty()) {
            EXPECT_TRUE(run.has("debug", "verbose_verification_base",
                                "Verifying /CN=Quorvane Test CA succeeds")) << run.text();
            continue;
        }
        EXPECT_TRUE(run.has("warning", "verbose_verification_base", c.warning)) << c.cert << "\n" << run.text();
        EXPECT_TRUE(run.hasPart("error", "AsyncTCPSocket",
                                "SSL handshake failed when connecting to <127.0.0.1:" +
                                    std::to_string(port) + ">; reason: "))
            << c.cert << "\n" << run.text();
    }
}

TEST_F(AsyncTCPSocketTest, SilentPeersEndEachStepAfterTheTimeout) {
    struct Case {
        std::string mode;     // of the peer
        std::string cert;     // the peer speaks TLS with it
        std::string step;     // "read", "handshake" or "close"
        std::string outcome;  // logged by the scenario
    };
    for (const auto& c : std::vector<Case>{{"silent", "", "read", "read=7 in time"},
                                           {"silent", "", "handshake", "connect=3 in time"},
                                           {"stall", "localhost", "close", "close=0 in time"}}) {
        const auto [server, port] = peer(c.mode, c.cert);
        const auto run = runLogged([&] {
            platform::security::TrustedCertificates::setSearchList({certificates_->caFile()});
            SocketTestLoop loop;
            auto socket = loop.socket();
            socket->SetTimeout(300);
            if (c.step != "handshake") {
                connectAndReport(loop, socket, "localhost", port, !c.cert.empty());
            }
            int code = -1;
            const auto start = std::chrono::steady_clock::now();
            if (c.step == "read") {
                socket->AsyncRead(10, [&](ITCPSocket::ErrorCode e, network::CBYTESubBuffer&&) { code = e; });
            } else if (c.step == "handshake") {
                socket->AsyncConnect("localhost", port, true, [&](ITCPSocket::ErrorCode e) { code = e; });
            } else {
                socket->AsyncClose([&](ITCPSocket::ErrorCode e) { code = e; });
            }
            loop.runUntil([&] { return code != -1; }, 10s);
            const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            const bool inTime = waited >= 300ms && waited < 3s;
            probe((c.step == "handshake" ? "connect=" : c.step + "=") + std::to_string(code) +
                  (inTime ? " in time" : " after " + std::to_string(waited.count()) + " ms"));
            return 0;
        });
        EXPECT_TRUE(run.has("info", "Probe", c.outcome)) << c.step << "\n" << run.text();
        EXPECT_TRUE(run.hasPart("warning", "AsyncTCPSocket", "did not complete within 300 ms"))
            << c.step;
    }
}

TEST_F(AsyncTCPSocketTest, TheCloseAllSignalFromAnotherThreadClosesOnTheSocketsThread) {
    const auto [echo, port] = peer("echo");
    const auto run = runLogged([&] {
        SocketTestLoop loop;
        auto socket = loop.socket();
        std::string events;
        for (int round = 0; round < 2; ++round) {
            connectAndReport(loop, socket, "127.0.0.1", port, false);
            const auto loopThread = std::this_thread::get_id();
            int code = -1;
            bool onLoopThread = false;
            socket->AsyncRead(1, [&](ITCPSocket::ErrorCode c, network::CBYTESubBuffer&&) {
                code = c;
                onLoopThread = std::this_thread::get_id() == loopThread;
            });
            std::thread([&] { loop.connectivity->GetSignals().closeAll(); }).join();
            loop.runUntil([&] { return code != -1; }, 5s);
            events += std::to_string(code) + (onLoopThread ? "/loop " : "/other ");
        }
        probe("reads " + events);
        return 0;
    });
    EXPECT_TRUE(run.has("info", "Probe", "reads 9/loop 9/loop ")) << run.text();
}

// A read and a write started while the connect is still under way go on
// after it, on the same connection.
TEST_F(AsyncTCPSocketTest, StepsStartedDuringTheConnectCompleteAfterIt) {
    const auto [echo, port] = peer("echo");
    SocketTestLoop loop;
    auto socket = loop.socket();
    int connected = -1;
    socket->AsyncConnect("127.0.0.1", static_cast<std::uint16_t>(port), false,
                         [&](ITCPSocket::ErrorCode code) { connected = static_cast<int>(code); });
    ASSERT_TRUE(loop.runUntil([&] { return socket->GetTCPStream().is_open(); }));
    ASSERT_EQ(connected, -1) << "connected before the steps could start";
    std::string read;
    int readCode = -1;
    int writeCode = -1;
    socket->AsyncRead(4, [&](ITCPSocket::ErrorCode code, network::CBYTESubBuffer&& data) {
        readCode = static_cast<int>(code);
        read.assign(reinterpret_cast<const char*>(data.Data()), data.size);
    });
    socket->AsyncWrite(network::CBYTESubBuffer(network::ByteBuffer(
                           reinterpret_cast<const unsigned char*>("ping"), 4)),
                       [&](ITCPSocket::ErrorCode code, std::uint64_t) { writeCode = static_cast<int>(code); });
    ASSERT_TRUE(loop.runUntil([&] { return readCode != -1; }));
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(writeCode, 0);
    EXPECT_EQ(readCode, 0);
    EXPECT_EQ(read, "ping");
}

}  // namespace
