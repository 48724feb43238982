#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace network {

// Undoes the codings of a body (gzip and x-gzip, deflate in the zlib format
// or raw, identity) as its bytes arrive, in pieces of any size, with zlib:
// the coding applied last is undone first, and the decoded bytes are handed
// on in pieces of at most kPieceSize, never more at once. What it hands on is
// bounded on the running totals: at most `limit` bytes in all, and past
// kFreeDecodedSize at most kMaxRatio times the coded bytes taken so far, so
// that a small coded body cannot claim gigabytes. A corrupt coded stream, one
// cut short (Finish before its end) and bytes behind its end fail it.
class HTTPBodyDecoder {
public:
    enum class Coding { Identity, Gzip, Deflate };
    enum class Result {
        Ok,
        Failed,  // does not decode or is over a bound: Error() says why
        Refused  // the output refused a piece
    };
    // Takes decoded bytes; false refuses them and stops the decoding.
    using Output = std::function<bool(const unsigned char* data, std::size_t size)>;

    static constexpr std::size_t kPieceSize = 64 * 1024;
    static constexpr std::uint64_t kFreeDecodedSize = std::uint64_t{64} << 20;
    static constexpr std::uint64_t kMaxRatio = 100;

    // Appends the codings named in a "Content-Encoding" or "Transfer-Encoding"
    // value, in the order they were applied; false, with the first unknown
    // name in `unknown`, when one is not known ("chunked" is none of them).
    static bool ParseCodings(std::string_view list, std::vector<Coding>& codings,
                             std::string& unknown);
    // The largest decoded size allowed for `codedSize` coded bytes.
    static std::uint64_t DecodedBound(std::uint64_t codedSize, std::uint64_t limit);

    // `codings` in the order they were applied.
    HTTPBodyDecoder(const std::vector<Coding>& codings, std::uint64_t limit);
    ~HTTPBodyDecoder();
    HTTPBodyDecoder(const HTTPBodyDecoder&) = delete;
    HTTPBodyDecoder& operator=(const HTTPBodyDecoder&) = delete;

    // Whether any coding is to be undone (identity alone is none).
    bool Decodes() const { return !stages_.empty(); }
    // Decodes the next coded bytes, handing what they give to `output`.
    Result Feed(const unsigned char* data, std::size_t size, const Output& output);
    // The coded body ended: Ok only when every coded stream ended whole.
    Result Finish();
    const std::string& Error() const { return error_; }
    std::uint64_t CodedSize() const { return codedSize_; }
    std::uint64_t DecodedSize() const { return decodedSize_; }

private:
    struct Stage;

    // Runs stage `index` over `size` bytes; its output goes to the next
    // stage, or to `output` behind the last one.
    Result Push(std::size_t index, const unsigned char* data, std::size_t size,
                const Output& output);
    Result Inflate(Stage& stage, std::size_t index, const unsigned char* data, std::size_t size,
                   const Output& output);
    Result Fail(std::string text);

    std::vector<std::unique_ptr<Stage>> stages_;  // the coding applied last first
    std::uint64_t limit_;
    std::uint64_t codedSize_ = 0;
    std::uint64_t decodedSize_ = 0;
    bool failed_ = false;
    std::string error_;
};

}  // namespace network
