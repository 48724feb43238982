#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/appkit/Application.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ReadSource.h"
#include "platform/dispatch/SignalSource.h"
#include "platform/dispatch/TimerSource.h"
#include "support/LoopRunner.h"
#include "support/TempDir.h"

using platform::appkit::Application;
using platform::dispatch::asyncMain;
using platform::dispatch::ReadSource;
using platform::dispatch::SignalSource;
using platform::dispatch::TimerSource;
using Clock = std::chrono::steady_clock;

namespace {

using namespace std::chrono_literals;

TEST(DispatchSourcesTest, TimerRepeatsAtItsIntervalOnTheLoopThreadUntilCancelled) {
    const auto loopThread = std::this_thread::get_id();
    std::vector<Clock::time_point> ticks;
    bool offThread = false;
    TimerSource timer, stopLater;
    stopLater.setTimer(30ms, 0ns, 0ns);
    stopLater.setEventHandler([] { Application::shared().stop(); });
    timer.setTimer(10ms, 10ms, 100ms);
    timer.setEventHandler([&] {
        offThread |= std::this_thread::get_id() != loopThread;
        ticks.push_back(Clock::now());
        if (ticks.size() == 5) {
            timer.cancel();
            stopLater.resume();  // time for an event that should not come
        }
    });
    const auto start = Clock::now();
    timer.resume();
    EXPECT_TRUE(looptest::runLoop());
    EXPECT_TRUE(timer.isCancelled());
    EXPECT_FALSE(offThread);
    ASSERT_EQ(5u, ticks.size());
    // The n-th event is due n intervals after the start; missed events merge.
    EXPECT_GE(ticks.front() - start, 10ms);
    EXPECT_GE(ticks.back() - start, 40ms);
}

TEST(DispatchSourcesTest, SuspendedTimerDoesNotFireAndZeroIntervalFiresOnce) {
    int suspended = 0, once = 0;
    TimerSource neverResumed;
    neverResumed.setTimer(1ms, 1ms, 0ns);
    neverResumed.setEventHandler([&] { ++suspended; });
    TimerSource single;
    single.setTimer(1ms, 0ns, 0ns);
    single.setEventHandler([&] { ++once; });
    single.resume();
    EXPECT_FALSE(looptest::runLoop(60ms));
    EXPECT_EQ(0, suspended);
    EXPECT_EQ(1, once);
}

TEST(DispatchSourcesTest, CancelFromAnotherThreadAndDestructionStopTheEvents) {
    std::atomic<int> ticks{0};
    int destroyedTicks = 0;
    auto timer = std::make_unique<TimerSource>();
    timer->setTimer(1ms, 1ms, 0ns);
    timer->setEventHandler([&] { ++ticks; });
    timer->resume();
    {
        TimerSource destroyed;
        destroyed.setTimer(1ms, 1ms, 0ns);
        destroyed.setEventHandler([&] { ++destroyedTicks; });
        destroyed.resume();
    }
    int atCancel = -1;
    std::thread canceller([&] {
        while (ticks < 3) {
            std::this_thread::sleep_for(1ms);
        }
        timer->cancel();
        atCancel = ticks;
        std::this_thread::sleep_for(30ms);  // time for events that should not come
        asyncMain([] { Application::shared().stop(); });
    });
    EXPECT_TRUE(looptest::runLoop());
    canceller.join();
    EXPECT_GE(atCancel, 3);
    // A call under way when cancel returned may end; none starts afterwards.
    EXPECT_LE(ticks, atCancel + 1);
    EXPECT_EQ(0, destroyedTicks);
}

TEST(DispatchSourcesTest, ReadSourceReportsDataAndEndOfAPipeAndLeavesItOpen) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    const auto loopThread = std::this_thread::get_id();
    std::string received;
    bool sawEnd = false, offThread = false;
    std::unique_ptr<ReadSource> source;
    source = std::make_unique<ReadSource>(fds[0], [&] {
        offThread |= std::this_thread::get_id() != loopThread;
        char buffer[4];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        } else {
            sawEnd = true;
            source->cancel();
            Application::shared().stop();
        }
    });
    std::thread writer([&] {
        std::this_thread::sleep_for(20ms);
        const std::string text = "first line\nsecond line\n";
        EXPECT_EQ(static_cast<ssize_t>(text.size()), ::write(fds[1], text.data(), text.size()));
        ::close(fds[1]);
    });
    EXPECT_TRUE(looptest::runLoop());
    writer.join();
    source.reset();
    EXPECT_FALSE(offThread);
    EXPECT_TRUE(sawEnd);
    EXPECT_EQ("first line\nsecond line\n", received);
    EXPECT_NE(-1, ::fcntl(fds[0], F_GETFD)) << "the watched descriptor was closed";
    ::close(fds[0]);
}

TEST(DispatchSourcesTest, ReadSourceOnARegularFileReadsItToTheEnd) {
    testsupport::TempDir folder;
    const std::string path = folder.file("input.txt");
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, file);
    std::fputs("from a file\n", file);
    std::fclose(file);
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string received;
    ReadSource source(fd, [&] {
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        } else {
            source.cancel();
            Application::shared().stop();
        }
    });
    EXPECT_TRUE(looptest::runLoop());
    EXPECT_EQ("from a file\n", received);
    ::close(fd);
}

// The caller may close a watched descriptor as soon as the source is
// cancelled or destroyed: whatever gets that number next (here a new pipe,
// in a program the loop's own signal pipe) stays on the loop.
TEST(DispatchSourcesTest, ADescriptorClosedRightAfterItsSourceEndsCanBeWatchedAgain) {
    for (const bool destroy : {true, false}) {
        SCOPED_TRACE(destroy ? "destroyed" : "cancelled");
        int first[2];
        ASSERT_EQ(0, ::pipe(first));
        auto gone = std::make_unique<ReadSource>(first[0], [] {});
        if (destroy) {
            gone.reset();
        } else {
            gone->cancel();
        }
        ::close(first[0]);
        ::close(first[1]);
        int second[2];
        ASSERT_EQ(0, ::pipe(second));
        ASSERT_EQ(first[0], second[0]) << "the descriptor number was not handed out again";
        std::string received;
        ReadSource source(second[0], [&] {
            char buffer[16];
            const ssize_t n = ::read(second[0], buffer, sizeof buffer);
            if (n > 0) {
                received.append(buffer, static_cast<std::size_t>(n));
            }
            Application::shared().stop();
        });
        // The write comes after the loop has run the ended source's leftovers.
        asyncMain([&] { EXPECT_EQ(4, ::write(second[1], "ping", 4)); });
        EXPECT_TRUE(looptest::runLoop(2s)) << "the new descriptor was taken off the loop";
        EXPECT_EQ("ping", received);
        source.cancel();
        gone.reset();
        ::close(second[0]);
        ::close(second[1]);
    }
}

TEST(DispatchSourcesTest, SignalIsDeliveredOnTheLoopAndCancelRestoresTheDefaultAction) {
    const auto loopThread = std::this_thread::get_id();
    std::vector<int> received;
    bool offThread = false;
    SignalSource source(SIGUSR1, [&](int signal) {
        offThread |= std::this_thread::get_id() != loopThread;
        received.push_back(signal);
        if (received.size() == 2) {
            Application::shared().stop();
        }
    });
    std::thread sender([] {
        std::this_thread::sleep_for(20ms);
        ::kill(::getpid(), SIGUSR1);
        std::this_thread::sleep_for(20ms);
        ::kill(::getpid(), SIGUSR1);
    });
    EXPECT_TRUE(looptest::runLoop());
    sender.join();
    EXPECT_FALSE(offThread);
    EXPECT_EQ((std::vector<int>{SIGUSR1, SIGUSR1}), received);

    source.cancel();
    struct sigaction action {};
    ASSERT_EQ(0, ::sigaction(SIGUSR1, nullptr, &action));
    EXPECT_EQ(SIG_DFL, action.sa_handler);
}

}  // namespace
