#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "network/HTTPBodyDecoder.h"
#include "network/HTTPResponseReader.h"

namespace network {

// What of one response's body goes to a caller's body sink as it arrives:
// the body of an answer the sink takes (by default a successful one, 2xx;
// never one to CONNECT), once its head is read, handed on whenever the
// target's piece size has arrived (kPieceSize unless it says otherwise) and
// at its end.
// A content-coded body whose codings are all known is decoded on the way,
// with the decoder's bounds on the running totals, so the sink gets the
// decoded bytes in pieces of at most HTTPBodyDecoder::kPieceSize; with a
// coding that is not known it gets the bytes as received, as a response's
// body would hold them. Nothing of the body is held beyond one piece.
class HTTPSunkBody {
public:
    using Sink = std::function<bool(const unsigned char* data, std::size_t size)>;
    // Whether the sink takes the body of an answer with this status.
    using Filter = std::function<bool(std::uint32_t status)>;
    static constexpr std::size_t kPieceSize = std::size_t{256} << 10;
    // A caller's sink, the answers whose bodies it takes (empty: the
    // successful ones) and the bytes gathered before they are handed on
    // (1: what each read brought).
    struct Target {
        Sink sink;
        Filter takes;
        std::size_t pieceSize = kPieceSize;
    };
    enum class Result {
        Ok,
        Refused,       // the sink refused a piece
        DoesNotDecode  // corrupt, cut short or over a bound
    };

    // After each read: hands on what `reader` holds of the body when a piece
    // is full or the response `complete`, and releases it there. `limit`
    // bounds the decoded body.
    Result Pass(HTTPResponseReader& reader, bool isConnect, bool complete, std::uint64_t limit,
                const Target& target);
    // Why the last Pass failed.
    const std::string& Error() const { return error_; }

private:
    // Decides, once the head is read, whether the body goes to the sink and
    // how it is decoded.
    void Decide(HTTPResponseReader& reader, bool isConnect, std::uint64_t limit,
                const Filter& takes);

    bool decided_ = false;
    bool sinks_ = false;
    std::unique_ptr<HTTPBodyDecoder> decoder_;
    std::string error_;
};

}  // namespace network
