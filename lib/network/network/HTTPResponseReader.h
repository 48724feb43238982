#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/NonInitializingBuffer.h"
#include "network/HTTPBodyDecoder.h"
#include "network/IHTTPResponse.h"

namespace network {

// Reads one HTTP/1.x response from bytes handed over in pieces of any size,
// down to single bytes: the status line, the header block and the body in
// the framing RFC 9112 section 6.3 picks (no body for HEAD, 1xx, 204, 304
// and a successful CONNECT; then a Transfer-Encoding whose last coding is
// chunked; then Content-Length; else until the end of the stream). Interim
// 1xx responses other than 101 are skipped. Every size is bounded: the
// header block (interim ones included), each chunk-size or trailer line,
// and the body. Transfer codings other than chunked (gzip, x-gzip, deflate,
// identity) are undone as the body arrives, with the decoder's bounds; an
// unknown one, or one applied over chunked, fails the response at its head:
// coded bytes never pass for the body.
class HTTPResponseReader {
public:
    static constexpr std::size_t kHeadLimit = 64 * 1024;
    static constexpr std::size_t kChunkLineLimit = 4 * 1024;
    static constexpr std::uint64_t kDefaultBodyLimit = std::uint64_t{1} << 32;
    // The most reserved at once for an announced body; more as it arrives.
    static constexpr std::size_t kBodyReserveLimit = std::size_t{256} << 20;

    // The framing step a response is in (or failed in).
    enum class Step { StatusLine, Headers, FixedBody, UntilEnd, ChunkSize, ChunkData, Done };

    enum class Result {
        NeedMore,       // the response goes on
        Done,           // complete; bytes after it were not consumed
        InvalidStatus,  // the status line is not "HTTP/<version> <100..999>"
        Error           // broken framing, a limit exceeded, or cut short
    };

    HTTPResponseReader(bool headRequest, bool connectRequest,
                       std::uint64_t bodyLimit = kDefaultBodyLimit);

    // Consumes bytes of the response from `data`; `consumed` tells how many.
    // After Done the rest of `data` belongs to whatever follows.
    Result Feed(const unsigned char* data, std::size_t size, std::size_t& consumed);
    // The stream ended: Done for a body read until the end, else Error.
    Result Finish();

    // While a body of announced length arrives: the room for its next bytes,
    // so that a reader can receive them in place (empty otherwise). Bytes put
    // there count once handed to CommitBody.
    std::pair<unsigned char*, std::size_t> BodyWindow();
    Result CommitBody(std::size_t size);

    // Whether any byte of the response arrived.
    bool ReceivedAny() const { return receivedAny_; }
    // Whether the head has been read (headers are complete).
    bool HeadComplete() const { return headComplete_; }
    std::uint32_t Status() const { return status_; }
    // 1 for HTTP/1.0, 2 for HTTP/1.1, 0 for any other version.
    std::uint32_t Version() const { return version_; }
    HTTPHeaderList& Headers() { return headers_; }
    core::NonInitializingBuffer<unsigned char>& Body() { return body_; }
    // Empties the body buffer, keeping its room, once its bytes were handed
    // on; they still count against the body limit.
    void ReleaseBody();
    // Called while a transfer coding is undone, whenever the body held
    // reaches `size` bytes, so that the caller can take it (Body, then
    // ReleaseBody) before more is decoded: a read that decodes to much is
    // handed on in pieces. False from `handOff` fails the response.
    void SetBodyHandOff(std::size_t size, std::function<bool()> handOff) {
        handOffSize_ = size;
        handOff_ = std::move(handOff);
    }
    // The framing itself leaves the connection unusable for another request
    // (a body read until the end, or Content-Length beside Transfer-Encoding).
    bool FramingRequiresClose() const { return framingRequiresClose_; }
    // What went wrong, for the log.
    const std::string& ErrorText() const { return error_; }
    Step CurrentStep() const;
    // The size of the chunk being read (Step::ChunkData).
    std::uint64_t ChunkSize() const { return chunkSize_; }
    // The final status line as received, without its line end.
    const std::string& StatusLine() const { return statusLine_; }
    // Bytes received that no step has taken in whole yet: the start of a
    // line of the head or of a chunk-size line.
    const std::string& PendingBytes() const { return line_; }

private:
    enum class State {
        StatusLine,
        Headers,
        FixedBody,
        ChunkSize,
        ChunkData,
        ChunkDataEnd,
        Trailers,
        UntilEnd,
        Done,
        Failed
    };

    // Room made for the header list at once: one allocation for most answers.
    static constexpr std::size_t kTypicalHeaderCount = 16;

    // Takes one line up to LF; true when it is complete, with the line,
    // without its CR LF, in `text_`. A line that arrives whole is read where
    // it lies; parts of one are collected in `line_`.
    bool TakeLine(const unsigned char* data, std::size_t size, std::size_t& at, std::size_t limit);
    Result Fail(std::string text, Result result = Result::Error);
    Result OnStatusLine();
    Result OnHeaderLine();
    Result OnHeadEnd();
    Result OnChunkSizeLine();
    // Takes body bytes (decoded when a transfer coding is undone); false,
    // failed with the reason, past a bound or when they do not decode.
    bool AppendBody(const unsigned char* data, std::size_t size);
    // The body bytes that may still come, as received (coded).
    std::uint64_t BodyRoom() const;
    // The transfer-coded body ended: false, failed, unless it ended whole.
    bool FinishTransferDecoding();
    // The framing for the body from the Transfer-Encoding codings in
    // `headers_`, when there are any.
    Result OnTransferCodings(bool lengthGiven);

    bool headRequest_;
    bool connectRequest_;
    std::uint64_t bodyLimit_;
    State state_ = State::StatusLine;
    State failedIn_ = State::StatusLine;  // the state a failure left
    std::uint64_t chunkSize_ = 0;
    std::string statusLine_;
    std::string line_;
    std::string_view text_;
    bool lineOverflow_ = false;
    std::size_t headBytes_ = 0;
    bool headComplete_ = false;
    std::uint64_t remaining_ = 0;
    bool receivedAny_ = false;
    bool framingRequiresClose_ = false;
    std::uint32_t status_ = 0;
    std::uint32_t version_ = 0;
    HTTPHeaderList headers_;
    core::NonInitializingBuffer<unsigned char> body_;
    std::uint64_t bodyReleased_ = 0;  // body bytes handed on by ReleaseBody
    std::unique_ptr<HTTPBodyDecoder> transferDecoder_;
    std::size_t handOffSize_ = 0;
    std::function<bool()> handOff_;
    std::string error_;
};

}  // namespace network
