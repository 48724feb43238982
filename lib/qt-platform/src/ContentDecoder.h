#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Decodes a response body sent with the content codings of its
// Content-Encoding header, fed in pieces as they arrive: "gzip" (any number
// of members one after the other, as RFC 1952 allows; "x-gzip" is the same)
// and "deflate" (a zlib stream, or a raw deflate stream as some servers send
// it), each undone in the reverse of the order they are listed in,
// "identity" skipped. A list that names a coding it does not know is
// refused: the body's first byte fails it, and it never hands on bytes that
// are still coded. It holds no output of its own: each decoded piece, at
// most kOutputPiece bytes, goes to the sink at once. Decoding is bounded
// over the whole chain: it fails as soon as the output passes the given
// limit, or any coding's output passes kSafetyThreshold bytes while being
// more than kMaximumRatio times the body's bytes so far (as Qt 6 refuses
// archive bombs), before that output is handed on.
class ContentDecoder {
public:
    enum class Status { ok, tooLarge, damaged };
    // Takes a decoded piece; false stops the decoding (as damaged).
    using Sink = std::function<bool(const char* data, std::size_t size)>;

    static constexpr std::size_t kOutputPiece = 64 * 1024;
    static constexpr std::int64_t kSafetyThreshold = 10 * 1024 * 1024;
    static constexpr std::int64_t kMaximumRatio = 40;

    // A decoder for the value of a Content-Encoding header, or null when the
    // body is sent as it is (no coding, or "identity" alone).
    static std::unique_ptr<ContentDecoder> forEncoding(const std::string& encoding,
                                                       std::int64_t limit);

    ~ContentDecoder();
    ContentDecoder(const ContentDecoder&) = delete;
    ContentDecoder& operator=(const ContentDecoder&) = delete;

    // Decodes the next piece of the body. After a failure every call fails
    // the same way.
    Status decode(const char* data, std::size_t size, const Sink& sink);
    // The body has ended: damaged when a coding's stream has not (an empty
    // body is no stream and passes).
    Status finish();
    // Why it failed, in words (a coding not known, a damaged stream, bytes
    // that are no gzip member...); empty while it has not.
    const std::string& problem() const { return problem_; }

private:
    enum class Coding { gzip, deflate };
    struct Stage;

    ContentDecoder(const std::vector<Coding>& applied, std::int64_t limit);
    // Decodes `size` bytes with stage `index`; its output goes to the next
    // stage, or to `sink` behind the last one.
    Status push(std::size_t index, const char* data, std::size_t size, const Sink& sink);
    Status inflateInto(std::size_t index, const char* data, std::size_t size, const Sink& sink);
    Status fail(Status status, std::string problem);

    std::vector<std::unique_ptr<Stage>> stages_;  // the coding applied last first
    const std::int64_t limit_;
    std::int64_t input_ = 0;
    std::int64_t output_ = 0;
    Status failure_ = Status::ok;
    std::string problem_;
};
