#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
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

// A stream whose writes the test holds and lets go, or makes fail.
class GatedStream {
public:
    GatedStream() {
        const cookie_io_functions_t functions{nullptr, &GatedStream::WriteHook, nullptr, nullptr};
        stream_ = ::fopencookie(this, "w", functions);
    }
    ~GatedStream() {
        Release();
        if (stream_ != nullptr) {
            std::fclose(stream_);
        }
    }
    GatedStream(const GatedStream&) = delete;
    GatedStream& operator=(const GatedStream&) = delete;

    std::FILE* stream() const { return stream_; }

    // Writes wait from now until they are let pass, then fail with `error`
    // unless it is 0.
    void Hold(int error = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = true;
        error_ = error;
    }
    // Lets the next `count` writes pass; the ones after wait.
    void Pass(int count) {
        std::lock_guard<std::mutex> lock(mutex_);
        passes_ += count;
        changed_.notify_all();
    }
    // Lets every write pass from now on.
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }
    // Whether the `count`-th write came within `bound` (held, unless let pass).
    bool WaitForWrite(int count, std::chrono::seconds bound) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, bound, [this, count] { return writes_ >= count; });
    }
    std::string written() {
        std::lock_guard<std::mutex> lock(mutex_);
        return written_;
    }
    int writes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }

private:
    static ssize_t WriteHook(void* cookie, const char* data, std::size_t size) {
        auto& self = *static_cast<GatedStream*>(cookie);
        std::unique_lock<std::mutex> lock(self.mutex_);
        ++self.writes_;
        self.changed_.notify_all();
        self.changed_.wait(lock, [&self] { return !self.held_ || self.passes_ > 0; });
        if (self.held_) {
            --self.passes_;
        }
        if (self.error_ != 0) {
            errno = self.error_;
            return 0;  // a cookie stream's failed write
        }
        self.written_.append(data, size);
        return static_cast<ssize_t>(size);
    }

    std::FILE* stream_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    int passes_ = 0;
    int error_ = 0;
    int writes_ = 0;
    std::string written_;
};

core::NonInitializingBuffer<unsigned char> Message(const std::string& text) {
    return core::NonInitializingBuffer<unsigned char>(
        reinterpret_cast<const unsigned char*>(text.data()), text.size());
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

// The writer is held on a small batch while 1 MiB messages pile up past the
// backlog, which pauses the caller. The small batch going out leaves more
// than the backlog waiting: the output asks for nothing yet. Once the
// writer has caught up it asks for the next message, once, and takes it.
TEST(MessageOutputTest, ResumesTheCallerOnceTheWriterCaughtUpWithTheBacklog) {
    GatedStream gate;
    ASSERT_NE(nullptr, gate.stream());
    gate.Hold();
    std::atomic<int> resumed{0};
    std::promise<void> resumedOnce;
    const std::string small = "small";
    std::string expected = small + "\n";
    {
        MessageOutput output(gate.stream(), [&] {
            if (resumed++ == 0) {
                resumedOnce.set_value();
            }
        });
        ASSERT_TRUE(output.Push(Message(small)));
        ASSERT_TRUE(gate.WaitForWrite(1, std::chrono::seconds(10)))
            << "the small batch was never written";
        // Pushed until the output asks for no more: the backlog and one more.
        std::size_t pushed = 0;
        for (bool more = true; more && pushed <= 64;) {
            const std::string message(1 << 20, static_cast<char>('a' + pushed % 26));
            expected += message + "\n";
            more = output.Push(Message(message));
            ++pushed;
        }
        EXPECT_EQ((MessageOutput::kBacklog - small.size() - 1) / ((1 << 20) + 1) + 1, pushed);
        EXPECT_EQ(0, resumed.load()) << "asked for more while the writer was held";
        gate.Pass(1);
        ASSERT_TRUE(gate.WaitForWrite(2, std::chrono::seconds(10)))
            << "the messages were never written";
        EXPECT_EQ(0, resumed.load()) << "asked for more while more than the backlog waited";
        gate.Release();
        EXPECT_EQ(std::future_status::ready,
                  resumedOnce.get_future().wait_for(std::chrono::seconds(10)))
            << "never asked for more once the writer caught up";
        EXPECT_TRUE(output.Push(Message("after")));
        expected += "after\n";
        output.Drain();
    }
    EXPECT_EQ(1, resumed.load());
    EXPECT_TRUE(expected == gate.written())
        << gate.written().size() << " bytes written of " << expected.size();
}

// A write or flush that fails ends the output: Error() tells why, nothing
// more is written, what comes is dropped, and a caller that the backlog
// paused is resumed so that it may read on to the end of its stream.
TEST(MessageOutputTest, AFailedWriteIsReportedAndEndsTheOutput) {
    const struct {
        std::string name;
        std::size_t size;  // of the first message
        bool pausedFirst;  // the backlog paused the caller before the write failed
        int error;
    } cases[] = {
        {"a short line, failing at its flush", 10, false, ENOSPC},
        {"a message longer than the stream's buffer", 1 << 20, false, EPIPE},
        {"while the caller is paused", 10, true, EBADF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        GatedStream gate;
        ASSERT_NE(nullptr, gate.stream());
        gate.Hold(c.error);
        std::atomic<int> resumed{0};
        MessageOutput output(gate.stream(), [&] { ++resumed; });
        EXPECT_TRUE(output.Push(Message(std::string(c.size, 'm'))));
        ASSERT_TRUE(gate.WaitForWrite(1, std::chrono::seconds(10)));
        if (c.pausedFirst) {
            while (output.Push(Message(std::string(1 << 20, 'p')))) {
            }
        }
        EXPECT_EQ(0, output.Error());
        gate.Release();
        output.Drain();
        EXPECT_EQ(c.error, output.Error()) << std::strerror(output.Error());
        EXPECT_EQ(c.pausedFirst ? 1 : 0, resumed.load());
        const int writes = gate.writes();
        EXPECT_TRUE(output.Push(Message("later")));
        output.Drain();
        EXPECT_EQ(writes, gate.writes()) << "written after the failure";
        EXPECT_EQ("", gate.written());
    }
}

}  // namespace
