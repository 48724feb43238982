#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/logging/ILogger.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "extension/EventLoopEnvironment.h"
#include "network/IHTTPResponse.h"
#include "platform/security/TrustedCertificates.h"
#include "support/LoopRunner.h"
#include "support/ProxyTestSupport.h"
#include "support/ScriptServer.h"
#include "support/SquidProxy.h"
#include "support/TempDir.h"
#include "support/WebSocketTestPeer.h"

namespace {

using namespace std::chrono_literals;

struct Fetched {
    bool done = false;
    network::HTTPStatusCode code = 0;
    std::string body;
    std::thread::id thread;
};

void fetch(network::IHTTPConnection& connection, const std::string& url,
           const std::shared_ptr<Fetched>& fetched) {
    connection.Submit(url, [fetched](network::HTTPStatusCode code,
                                     std::unique_ptr<network::IHTTPResponse> response) {
        fetched->done = true;
        fetched->code = code;
        fetched->thread = std::this_thread::get_id();
        if (response) {
            const auto body = response->TakeBody();
            fetched->body.assign(body.begin(), body.end());
        }
    });
}

// One web socket's life, each step started from the previous one's
// callback: open, send the message, take its echo, close.
struct Echo {
    std::shared_ptr<network::IWebSocket> socket;
    std::string message;
    network::HTTPStatusCode upgrade = 0;
    std::string echo;
    network::ITCPSocket::ErrorCode end = 0;  // how the stream ended
    bool done = false;
    std::thread::id thread;
};

void startEcho(const std::shared_ptr<Echo>& run, const std::string& url) {
    using Payload = core::NonInitializingBuffer<unsigned char>;
    run->socket->Connect(url, [run](network::HTTPStatusCode status,
                                    std::unique_ptr<network::IHTTPResponse>) {
        run->upgrade = status;
        if (status != 101) {
            run->done = true;
            return;
        }
        run->socket->Send(Payload(reinterpret_cast<const unsigned char*>(run->message.data()),
                                  run->message.size()),
                          [](network::ITCPSocket::ErrorCode) {});
        run->socket->Receive([run](network::ITCPSocket::ErrorCode code, Payload&& echo) {
            run->echo.assign(echo.begin(), echo.end());
            run->thread = std::this_thread::get_id();
            if (code != network::ITCPSocket::kSuccess) {
                run->end = code;
                run->done = true;
                return;
            }
            run->socket->Close([] {});
            run->socket->Receive([run](network::ITCPSocket::ErrorCode code, Payload&&) {
                run->end = code;
                run->done = true;
            });
        });
    });
}

// Polls the environment from a task of a main loop on a 10 ms tick until
// `done` holds, for `limit` at most; whether it held.
template <typename Done>
bool pollUntil(extension::EventLoopEnvironment& environment, std::chrono::milliseconds limit,
               Done done) {
    auto scheduler = common::TaskSchedulerMac::create(10ms, common::createLogger("TaskScheduler"));
    auto queue = scheduler->createQueue("Poll");
    queue->push(
        [&](bool& again, unsigned long) {
            environment.PollEvents();
            again = !done();
            if (!again) {
                scheduler->stop();
            }
        },
        0ms);
    return looptest::withinLimit(limit, [&] { scheduler->run(); });
}

// The environment as an application hosts it: polled by a task of its main
// loop every 10 ms tick, downloading from nginx on loopback through pooled
// connections of its factory, which share their cookies.
TEST(EventLoopEnvironmentTest, AMainLoopTaskDrivesDownloadsThroughTheFactory) {
    testsupport::TempDir folder("quorvane-environment");
    std::filesystem::create_directory(folder.file("root"));
    std::string data(3 << 20, '\0');
    std::uint32_t state = 2463534242u;
    for (auto& byte : data) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    std::ofstream(folder.file("root/package.bin"), std::ios::binary) << data;
    testsupport::ScriptServer nginx(std::string(NETWORK_TEST_SUPPORT_DIR) + "/nginx_test_server.py",
                                    {folder.path(), folder.file("root")});
    const int port = nginx.readyNumber("port").value_or(0);
    ASSERT_NE(0, port) << "nginx did not start";
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    auto environment = std::make_shared<extension::EventLoopEnvironment>(nullptr);
    const std::weak_ptr<network::AsyncService> service = environment->GetAsyncService();
    std::weak_ptr<network::INetworkFactory> factory = environment->GetNetworkFactory();
    auto download = environment->GetNetworkFactory()->CreateHTTPConnection();
    auto reader = environment->GetNetworkFactory()->CreateHTTPConnection();
    download->SetCookie("session=s3cr3t");
    auto package = std::make_shared<Fetched>();
    auto cookie = std::make_shared<Fetched>();
    fetch(*download, base + "/package.bin", package);
    fetch(*reader, base + "/cookie", cookie);

    std::this_thread::sleep_for(50ms);
    ASSERT_FALSE(package->done || cookie->done) << "completed without a poll";

    auto scheduler = common::TaskSchedulerMac::create(10ms, common::createLogger("TaskScheduler"));
    auto queue = scheduler->createQueue("Poll");
    queue->push(
        [&](bool& again, unsigned long) {
            environment->PollEvents();
            again = !(package->done && cookie->done);
            if (!again) {
                scheduler->stop();
            }
        },
        0ms);
    EXPECT_TRUE(looptest::withinLimit(30s, [&] { scheduler->run(); })) << "still downloading";
    queue.reset();

    EXPECT_EQ(200u, package->code);
    EXPECT_TRUE(package->body == data) << "the package arrived changed, " << package->body.size()
                                       << " bytes";
    EXPECT_EQ(std::this_thread::get_id(), package->thread);
    EXPECT_EQ(200u, cookie->code);
    EXPECT_EQ("session=s3cr3t", cookie->body) << "the other connection's cookie";

    // Drained and released, nothing of the library is left (LeakSanitizer
    // checks the rest at exit).
    download.reset();
    reader.reset();
    environment->PollEvents();
    environment.reset();
    EXPECT_TRUE(factory.expired());
    EXPECT_TRUE(service.expired());
}

// Web sockets made by the factory of an environment polled from a main loop
// echo through the proxy the environment was given (squid, which alone can
// find "target.test"), plain and over TLS, and close cleanly.
TEST(EventLoopEnvironmentTest, WebSocketsOfTheFactoryEchoThroughTheEnvironmentsProxy) {
    if (!SquidProxy::installed()) {
        GTEST_SKIP() << SquidProxy::kSquid << " is not installed";
    }
    networktest::WebSocketTestPeer peer;
    ASSERT_TRUE(peer.ready()) << "the web-socket test peer did not start";
    SquidProxy squid("anna", "open-sesame",
                     {static_cast<std::uint16_t>(peer.port("ws")), static_cast<std::uint16_t>(peer.port("wss"))});
    ASSERT_TRUE(squid.ready()) << squid.log();
    // The TLS context takes the trusted certificates at its first handshake.
    const auto savedSearchList = platform::security::TrustedCertificates::copySearchList();
    platform::security::TrustedCertificates::setSearchList({peer.caFile()});
    networktest::TestProxyAuthenticator proxy(L"anna", L"open-sesame", squid.address());

    auto environment = std::make_shared<extension::EventLoopEnvironment>(proxy.authenticator);
    std::vector<std::shared_ptr<Echo>> runs;
    for (const std::string server : {"ws", "wss"}) {
        auto run = std::make_shared<Echo>();
        run->socket = environment->GetNetworkFactory()->CreateWebSocket();
        run->message.resize(70000);
        for (std::size_t i = 0; i < run->message.size(); ++i) {
            run->message[i] = static_cast<char>(i * 131 + server.size());
        }
        startEcho(run, peer.proxiedUrl(server, "/echo"));
        runs.push_back(run);
    }
    const bool finished = pollUntil(*environment, 60s, [&] {
        return std::all_of(runs.begin(), runs.end(), [](const auto& run) { return run->done; });
    });
    platform::security::TrustedCertificates::setSearchList(savedSearchList);
    EXPECT_TRUE(finished) << "still echoing";
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto& run = *runs[i];
        SCOPED_TRACE(i == 0 ? "ws" : "wss");
        EXPECT_EQ(101u, run.upgrade) << squid.log();
        EXPECT_TRUE(run.echo == run.message) << "the echo differs, " << run.echo.size() << " bytes";
        EXPECT_EQ(network::ITCPSocket::kClosed, run.end);
        EXPECT_EQ(std::this_thread::get_id(), run.thread);
    }
    for (auto& run : runs) {
        run->socket.reset();
    }
    environment->PollEvents();
}

}  // namespace
