#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <future>

#include <boost/asio/post.hpp>

#include "network/AsyncService.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"

namespace {

using namespace std::chrono_literals;

// Runs in a child: the detached worker may still be winding down when the
// test ends, and a later test that forks must not copy it mid-way.
TEST(AsyncServiceTest, StopFromAHandlerOnTheWorkerDetachesAndReturns) {
    const auto result = testsupport::runInChild([] {
        auto service = std::make_unique<network::AsyncService>(false, "stopper", nullptr);
        if (!service->HasThread()) return 2;
        std::promise<std::thread::id> stopped;
        boost::asio::post(service->GetIOContext(), [&] {
            service->Stop();
            stopped.set_value(std::this_thread::get_id());
        });
        auto future = stopped.get_future();
        if (future.wait_for(10s) != std::future_status::ready) return 3;  // Stop on the worker hung
        if (future.get() == std::this_thread::get_id() || service->HasThread()) return 4;
        service->Stop();
        service.reset();
        return 0;
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(0, result.exitCode);
}

TEST(AsyncServiceTest, StartedServiceRunsHandlersOnItsWorkerAndStopsTwice) {
    network::AsyncService service(true, "worker", nullptr);
    service.Start();
    service.Start();
    std::promise<std::thread::id> ran;
    service.PostDelayed(std::chrono::steady_clock::now() + 10ms,
                        [&] { ran.set_value(std::this_thread::get_id()); });
    auto future = ran.get_future();
    ASSERT_EQ(std::future_status::ready, future.wait_for(10s));
    EXPECT_NE(std::this_thread::get_id(), future.get());
    service.Stop();
    service.Stop();
    EXPECT_FALSE(service.HasThread());
}

TEST(AsyncServiceTest, WorkerNameIsCutTo15BytesAndLoggedWhole) {
    const auto run = testsupport::runLogged([] {
        network::AsyncService service(false, "EventLoopAsyncService", nullptr);
        std::promise<std::string> name;
        boost::asio::post(service.GetIOContext(), [&] {
            char buffer[64] = {};
            pthread_getname_np(pthread_self(), buffer, sizeof buffer);
            name.set_value(buffer);
        });
        auto future = name.get_future();
        if (future.wait_for(10s) != std::future_status::ready) {
            return 2;
        }
        return future.get() == "EventLoopAsyncS" ? 0 : 1;
    });
    ASSERT_TRUE(run.result.exited) << run.text();
    EXPECT_EQ(0, run.result.exitCode) << "the thread's own name is not the cut name";
    bool found = false;
    for (const auto& line : run.lines) {
        const auto at = line.find(";debug;;AsyncService;;;Thread 0x");
        found = found || (at != std::string::npos &&
                          line.ends_with(" has the name 'EventLoopAsyncService'"));
    }
    EXPECT_TRUE(found) << run.text();
}

}  // namespace
