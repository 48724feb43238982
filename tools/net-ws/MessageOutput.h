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
//
// Every write and flush is checked. Once one fails the output writes no
// more: what waits and what comes later is dropped (a paused caller is
// resumed, so that it may read on to the end of its stream), and Error()
// tells why.
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
    // Waits until everything queued is written (or dropped), and a paused
    // caller was resumed.
    void Drain();
    // The error (an errno value) of the write or flush that failed; 0 while none did.
    int Error();

private:
    void Run();
    // Writes one batch and flushes the stream; the error, or 0.
    int Write(const std::deque<core::NonInitializingBuffer<unsigned char>>& batch);

    std::FILE* stream_;
    std::function<void()> resume_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<core::NonInitializingBuffer<unsigned char>> queue_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool paused_ = false;
    bool stopping_ = false;
    int error_ = 0;
    std::thread thread_;
};
