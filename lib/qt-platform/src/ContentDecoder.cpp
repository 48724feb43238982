#include "ContentDecoder.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace {

constexpr int kAnyZlibOrGzipHead = 15 + 32;
constexpr int kZlibHead = 15;
constexpr int kRawDeflate = -15;

std::string trimmedLower(const std::string& text) {
    std::string result;
    for (const char c : text) {
        if (c != ' ' && c != '\t') {
            result += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return result;
}

}  // namespace

std::unique_ptr<ContentDecoder> ContentDecoder::forEncoding(const std::string& encoding,
                                                            std::int64_t limit) {
    const std::string coding = trimmedLower(encoding);
    if (coding == "gzip" || coding == "x-gzip") {
        return std::make_unique<ContentDecoder>(true, limit);
    }
    if (coding == "deflate") {
        return std::make_unique<ContentDecoder>(false, limit);
    }
    return nullptr;
}

ContentDecoder::ContentDecoder(bool gzip, std::int64_t limit)
    : gzip_(gzip), limit_(limit), piece_(std::make_unique<char[]>(kOutputPiece)) {
    ready_ = ::inflateInit2(&stream_, gzip ? kAnyZlibOrGzipHead : kZlibHead) == Z_OK;
    if (!ready_) {
        failure_ = Status::damaged;
    }
}

ContentDecoder::~ContentDecoder() {
    if (ready_) {
        ::inflateEnd(&stream_);
    }
}

bool ContentDecoder::restartRaw() {
    triedRaw_ = true;
    ::inflateEnd(&stream_);
    stream_ = z_stream{};
    ready_ = ::inflateInit2(&stream_, kRawDeflate) == Z_OK;
    return ready_;
}

ContentDecoder::Status ContentDecoder::decode(const char* data, std::size_t size,
                                              const Sink& sink) {
    if (failure_ != Status::ok || ended_ || size == 0) {
        return failure_;
    }
    // zlib judges a zlib head by its first two bytes: until then the input
    // is kept, for a raw restart.
    const bool mayRestart = !gzip_ && !triedRaw_;
    if (mayRestart) {
        head_.append(data, size);
    }
    while (size > 0 && failure_ == Status::ok && !ended_) {
        const std::size_t step = std::min<std::size_t>(size, UINT_MAX);
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        stream_.avail_in = static_cast<uInt>(step);
        failure_ = inflatePiece(sink);
        data += step;
        size -= step;
    }
    if (!mayRestart) {
        return failure_;
    }
    // A "deflate" body that is no zlib stream is read once more as raw
    // deflate, from its first byte.
    if (failure_ == Status::damaged && stream_.total_out == 0) {
        const std::string all = std::move(head_);
        if (!restartRaw()) {
            return failure_;
        }
        failure_ = Status::ok;
        return decode(all.data(), all.size(), sink);
    }
    if (stream_.total_in >= 2 || failure_ != Status::ok) {
        triedRaw_ = true;
        std::string().swap(head_);
    }
    return failure_;
}

ContentDecoder::Status ContentDecoder::inflatePiece(const Sink& sink) {
    for (;;) {
        stream_.next_out = reinterpret_cast<Bytef*>(piece_.get());
        stream_.avail_out = static_cast<uInt>(kOutputPiece);
        const int result = ::inflate(&stream_, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            return Status::damaged;
        }
        const std::size_t produced = kOutputPiece - stream_.avail_out;
        const auto output = static_cast<std::int64_t>(stream_.total_out);
        const auto input = static_cast<std::int64_t>(stream_.total_in);
        if (output > limit_ || (output > kSafetyThreshold && output > kMaximumRatio * input)) {
            return Status::tooLarge;
        }
        if (produced > 0 && !sink(piece_.get(), produced)) {
            return Status::damaged;
        }
        if (result == Z_STREAM_END) {
            ended_ = true;
            return Status::ok;
        }
        // Everything given is read and nothing more is pending, or nothing
        // can move without more input.
        if ((stream_.avail_in == 0 && stream_.avail_out != 0) || result == Z_BUF_ERROR) {
            return Status::ok;
        }
    }
}

ContentDecoder::Status ContentDecoder::finish() {
    if (failure_ == Status::ok && !ended_) {
        failure_ = Status::damaged;
    }
    return failure_;
}
