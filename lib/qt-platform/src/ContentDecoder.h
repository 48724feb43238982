#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <zlib.h>

// Decodes a response body sent with the content coding "gzip" or "deflate"
// (a zlib stream, or a raw deflate stream as some servers send it), fed in
// pieces as they arrive. It holds no output of its own: each decoded piece,
// at most kOutputPiece bytes, goes to the sink at once. Decoding is bounded:
// it fails as soon as the output passes the given limit, or passes
// kSafetyThreshold bytes while being more than kMaximumRatio times the input
// so far (as Qt 6 refuses archive bombs), before that output is handed on.
class ContentDecoder {
public:
    enum class Status { ok, tooLarge, damaged };
    // Takes a decoded piece; false stops the decoding (as damaged).
    using Sink = std::function<bool(const char* data, std::size_t size)>;

    static constexpr std::size_t kOutputPiece = 64 * 1024;
    static constexpr std::int64_t kSafetyThreshold = 10 * 1024 * 1024;
    static constexpr std::int64_t kMaximumRatio = 40;

    // A decoder for the value of a Content-Encoding header, or null when the
    // body is sent as it is (no coding, "identity", or one this does not
    // know, which is handed on undecoded).
    static std::unique_ptr<ContentDecoder> forEncoding(const std::string& encoding,
                                                       std::int64_t limit);

    ContentDecoder(bool gzip, std::int64_t limit);
    ~ContentDecoder();
    ContentDecoder(const ContentDecoder&) = delete;
    ContentDecoder& operator=(const ContentDecoder&) = delete;

    // Decodes the next piece of the body. Bytes after the end of the stream
    // are ignored. After a failure every call fails the same way.
    Status decode(const char* data, std::size_t size, const Sink& sink);
    // The body has ended: damaged when the stream has not.
    Status finish();

private:
    Status inflatePiece(const Sink& sink);
    // Starts the stream again as raw deflate: "deflate" without its zlib head.
    bool restartRaw();

    z_stream stream_{};
    bool ready_ = false;
    const bool gzip_;
    bool triedRaw_ = false;
    bool ended_ = false;
    Status failure_ = Status::ok;
    const std::int64_t limit_;
    // The input so far while a "deflate" body may still turn out raw.
    std::string head_;
    std::unique_ptr<char[]> piece_;
};
