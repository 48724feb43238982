#include "MessageOutput.h"

#include <cerrno>
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
    if (error_ != 0) {
        return true;  // dropped: nothing is written any more
    }
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

int MessageOutput::Error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
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
        const bool failed = error_ != 0;
        lock.unlock();
        std::size_t bytes = 0;
        for (const auto& message : batch) {
            bytes += message.size() + 1;
        }
        const int error = failed ? 0 : Write(batch);
        batch.clear();
        lock.lock();
        queuedBytes_ -= bytes;
        if (error != 0) {
            error_ = error;
            queuedBytes_ = 0;
            queue_.clear();
        }
        const bool resume = paused_ && queuedBytes_ <= kBacklog;
        paused_ = paused_ && !resume;
        if (resume) {
            lock.unlock();
            resume_();
            lock.lock();
        }
        writing_ = false;
        changed_.notify_all();
    }
}

int MessageOutput::Write(const std::deque<core::NonInitializingBuffer<unsigned char>>& batch) {
    errno = 0;
    const auto failure = [] { return errno != 0 ? errno : EIO; };
    for (const auto& message : batch) {
        if (!message.empty() &&
            std::fwrite(message.data(), 1, message.size(), stream_) != message.size()) {
            return failure();
        }
        if (std::fputc('\n', stream_) == EOF) {
            return failure();
        }
    }
    return std::fflush(stream_) == 0 ? 0 : failure();
}
