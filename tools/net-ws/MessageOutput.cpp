#include "MessageOutput.h"

#include <utility>

MessageOutput::MessageOutput(std::FILE* stream, std::function<void()> resume)
    : stream_(stream), resume_(std::move(resume)), thread_([this] { Run(); }) {}

MessageOutput::~MessageOutput() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

bool MessageOutput::Push(core::NonInitializingBuffer<unsigned char>&& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    queuedBytes_ += message.size() + 1;
    queue_.push_back(std::move(message));
    paused_ = queuedBytes_ > kBacklog;
    changed_.notify_all();
    return !paused_;
}

void MessageOutput::Drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !writing_; });
}

void MessageOutput::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !queue_.empty() || stopping_; });
        if (queue_.empty()) {
            return;
        }
        // Everything waiting goes out in one batch, flushed once.
        auto batch = std::move(queue_);
        queue_.clear();
        writing_ = true;
        lock.unlock();
        std::size_t written = 0;
        for (const auto& message : batch) {
            if (!message.empty()) {
                std::fwrite(message.data(), 1, message.size(), stream_);
            }
            std::fputc('\n', stream_);
            written += message.size() + 1;
        }
        std::fflush(stream_);
        lock.lock();
        writing_ = false;
        queuedBytes_ -= written;
        const bool resume = paused_ && queuedBytes_ <= kBacklog;
        paused_ = paused_ && !resume;
        changed_.notify_all();
        if (resume) {
            lock.unlock();
            resume_();
            lock.lock();
        }
    }
}
