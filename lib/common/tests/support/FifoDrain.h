#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace testsupport {

// Reads a FIFO while a test's subject writes into it. A writer of its own
// keeps the reads waiting for the subject's bytes until Finish() lets it go.
class FifoDrain {
public:
    explicit FifoDrain(const std::string& path)
        : reader_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)),
          writer_(::open(path.c_str(), O_WRONLY | O_CLOEXEC)) {
        if (opened() && ::fcntl(reader_, F_SETFL, 0) == 0) {
            thread_ = std::thread([this] {
                char chunk[65536];
                for (ssize_t n; (n = ::read(reader_, chunk, sizeof chunk)) > 0;) {
                    text_.append(chunk, static_cast<std::size_t>(n));
                }
            });
        }
    }
    ~FifoDrain() {
        Finish();
        ::close(reader_);
    }
    bool opened() const { return reader_ >= 0 && writer_ >= 0; }
    // What came through, once the run has ended.
    const std::string& Finish() {
        if (writer_ >= 0) {
            ::close(writer_);
            writer_ = -1;
        }
        if (thread_.joinable()) {
            thread_.join();
        }
        return text_;
    }

private:
    int reader_;
    int writer_;
    std::string text_;
    std::thread thread_;
};

}  // namespace testsupport
