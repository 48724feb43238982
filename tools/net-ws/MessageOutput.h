#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "core/NonInitializingBuffer.h"

// Writes messages to a stream as lines on a thread of its own, so that a
// reader slow to take them holds up neither the lines going out nor the
// answers to pings on the service's thread. Bounded: while more than the
// backlog waits, the caller asks for no further message; `resume` runs on
// the writer's thread once the backlog has fallen below it again.
class MessageOutput {
public:
    static constexpr std::size_t kBacklog = 16 * 1024 * 1024;

    MessageOutput(std::FILE* stream, std::function<void()> resume);
    // Writes what is still waiting, then ends the thread.
    ~MessageOutput();
    MessageOutput(const MessageOutput&) = delete;
    MessageOutput& operator=(const MessageOutput&) = delete;

    // Queues one message; whether the caller may ask for the next one now
    // (otherwise `resume` tells it when).
    bool Push(core::NonInitializingBuffer<unsigned char>&& message);
    // Waits until everything queued is written.
    void Drain();

private:
    void Run();

    std::FILE* stream_;
    std::function<void()> resume_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<core::NonInitializingBuffer<unsigned char>> queue_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool paused_ = false;
    bool stopping_ = false;
    std::thread thread_;
};
