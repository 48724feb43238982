#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <boost/asio/post.hpp>

#include "extension/EventLoopAsyncService.h"
#include "extension/NonPersistentStore.h"
#include "network/detail/AsyncExecutor.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

TEST(EventLoopAsyncServiceTest, HandlersRunOnlyInsidePollOnThePollingThread) {
    extension::EventLoopAsyncService service;
    EXPECT_FALSE(service.HasThread());
    const auto caller = std::this_thread::get_id();
    std::vector<std::thread::id> ran;
    boost::asio::post(service.GetIOContext(), [&] {
        ran.push_back(std::this_thread::get_id());
        // Made ready by a handler: runs in the same Poll.
        boost::asio::post(service.GetIOContext(), [&] { ran.push_back(std::this_thread::get_id()); });
    });
    service.PostDelayed(Clock::now() - 1s, [&] { ran.push_back(std::this_thread::get_id()); });
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(ran.empty()) << "a handler ran without a poll";
    service.GetExecutor()->Poll();
    EXPECT_EQ(std::vector<std::thread::id>(3, caller), ran);
}

TEST(EventLoopAsyncServiceTest, DelayedPostsRunAtTheirDeadlineInDeadlineOrder) {
    extension::EventLoopAsyncService service;
    const auto start = Clock::now();
    std::vector<std::pair<int, Clock::time_point>> ran;
    for (const int ms : {150, 50, 100}) {
        service.PostDelayed(start + std::chrono::milliseconds(ms),
                            [&ran, ms] { ran.emplace_back(ms, Clock::now()); });
    }
    while (ran.size() < 3 && Clock::now() - start < 5s) {
        service.GetExecutor()->Poll();
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(3u, ran.size());
    int previous = 0;
    for (const auto& [ms, when] : ran) {
        EXPECT_GT(ms, previous) << "out of deadline order";
        EXPECT_GE(when - start, std::chrono::milliseconds(ms)) << "ran before its deadline: " << ms;
        previous = ms;
    }
}

TEST(EventLoopAsyncServiceTest, AfterStopNothingRunsAndASecondStopIsHarmless) {
    extension::EventLoopAsyncService service;
    auto executor = service.GetExecutor();
    bool ran = false;
    boost::asio::post(service.GetIOContext(), [&] { ran = true; });
    executor->Shutdown();
    executor->Poll();
    EXPECT_FALSE(ran);
    service.Stop();
    service.Stop();
    EXPECT_EQ(nullptr, service.GetExecutor());
}

TEST(NonPersistentStoreTest, ScopesZeroAndOneAreIndependentOthersHoldNothing) {
    extension::NonPersistentStore store;
    store.Set(0, "key", "zero");
    store.Set(1, "key", "one");
    store.Set(2, "key", "two");
    store.Set(-1, "key", "minus");
    store.Set(1, "empty", "");
    struct Case {
        int scope;
        std::string key;
        std::string value;
        bool has;
    };
    for (const auto& c : std::vector<Case>{{0, "key", "zero", true}, {1, "key", "one", true},
                                           {2, "key", "", false}, {-1, "key", "", false},
                                           {1, "empty", "", false}, {0, "empty", "", false},
                                           {0, "absent", "", false}}) {
        EXPECT_EQ(c.value, store.Get(c.scope, c.key)) << c.scope << " " << c.key;
        EXPECT_EQ(c.has, store.Has(c.scope, c.key)) << c.scope << " " << c.key;
    }
    store.Set(0, "key", "again");
    EXPECT_EQ("again", store.Get(0, "key"));
    EXPECT_EQ("one", store.Get(1, "key"));
}

}  // namespace
