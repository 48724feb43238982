#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include "MessageOutput.h"

namespace {

// Reads `bytes` bytes from `fd`, waiting at most `bound` in all; what came.
std::string ReadBytes(int fd, std::size_t bytes, std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::string text;
    char chunk[65536];
    while (text.size() < bytes && std::chrono::steady_clock::now() < deadline) {
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, 100) <= 0) {
            continue;
        }
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

// While the reader takes nothing, the output holds at most its backlog: the
// message that passes it tells the caller to ask for no more, and the output
// asks for the next one (once) only when the reader has taken enough.
TEST(MessageOutputTest, AsksForNoMoreWhileItsBacklogIsFull) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    std::FILE* stream = ::fdopen(fds[1], "w");
    ASSERT_NE(nullptr, stream);
    std::atomic<int> resumed{0};
    std::promise<void> resumedOnce;
    std::string read;
    constexpr std::size_t kMessage = 1 << 20;
    // The pushes that fill the backlog: the last one passes it.
    const std::size_t filling = MessageOutput::kBacklog / (kMessage + 1) + 1;
    {
        MessageOutput output(stream, [&] {
            if (resumed++ == 0) {
                resumedOnce.set_value();
            }
        });
        for (std::size_t i = 1; i <= filling; ++i) {
            const core::NonInitializingBuffer<unsigned char> message(kMessage);
            const bool more = output.Push(core::NonInitializingBuffer<unsigned char>(message));
            EXPECT_EQ(i < filling, more) << "message " << i << " of " << filling;
        }
        EXPECT_EQ(0, resumed.load()) << "asked for more while nothing was read";
        read = ReadBytes(fds[0], filling * (kMessage + 1), std::chrono::seconds(30));
        EXPECT_EQ(std::future_status::ready,
                  resumedOnce.get_future().wait_for(std::chrono::seconds(10)))
            << "never asked for more once the reader took everything";
        output.Drain();
    }
    ::fclose(stream);
    ::close(fds[0]);
    EXPECT_EQ(1, resumed.load());
    ASSERT_EQ(filling * (kMessage + 1), read.size());
    for (std::size_t i = 1; i <= filling; ++i) {
        EXPECT_EQ('\n', read[i * (kMessage + 1) - 1]) << "after message " << i;
    }
}

}  // namespace
