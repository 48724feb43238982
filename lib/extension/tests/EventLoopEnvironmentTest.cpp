#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "common/logging/ILogger.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "extension/EventLoopEnvironment.h"
#include "network/IHTTPResponse.h"
#include "support/LoopRunner.h"
#include "support/ScriptServer.h"
#include "support/TempDir.h"

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

}  // namespace
