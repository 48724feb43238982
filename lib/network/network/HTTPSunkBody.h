#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/NonInitializingBuffer.h"
#include "network/HTTPBodyDecoder.h"
#include "network/HTTPResponseReader.h"

namespace network {

// What becomes of one response's body as it arrives, decided once its head
// is read (Use):
// - Kept: the reader holds it whole, for the response (decoded there);
// - Sunk: it goes to a caller's body sink, handed on whenever the target's
//   piece size has arrived (kPieceSize unless it says otherwise) and at its
//   end. A content-coded body is decoded on the way, with the decoder's
//   bounds on the running totals, so the sink gets the decoded bytes in
//   pieces of at most HTTPBodyDecoder::kPieceSize; a body in a coding that
//   is not known fails at its first byte: coded bytes never pass for
//   decoded ones;
// - Dropped: it is read and dropped as it arrives, nothing of it decoded;
//   its first kKeptStart bytes are kept for the response when it is not
//   content-coded (a message: an error page's start).
// Nothing of a body sunk or dropped is held beyond one piece.
class HTTPSunkBody {
public:
    using Sink = std::function<bool(const unsigned char* data, std::size_t size)>;
    enum class Use { Kept, Sunk, Dropped };
    // What becomes of the body of an answer with this status.
    using Filter = std::function<Use(std::uint32_t status)>;
    static constexpr std::size_t kPieceSize = std::size_t{256} << 10;
    static constexpr std::size_t kKeptStart = 4096;
    // A caller's sink, what becomes of each answer's body (empty: the
    // successful ones, 2xx, are sunk, the others kept) and the bytes
    // gathered before they are handed on (1: what each read brought).
    struct Target {
        Sink sink;
        Filter takes;
        std::size_t pieceSize = kPieceSize;
    };
    enum class Result {
        Ok,
        Refused,       // the sink refused a piece
        DoesNotDecode  // corrupt, cut short, over a bound, or in a coding not known
    };

    // Once the head is read: `use` becomes of the body. `limit` bounds the
    // decoded body.
    void Decide(HTTPResponseReader& reader, Use use, std::uint64_t limit);
    bool Decided() const { return decided_; }
    // Whether the body leaves the reader as it arrives (sunk or dropped).
    bool PassesOn() const { return decided_ && use_ != Use::Kept; }
    bool Dropped() const { return decided_ && use_ == Use::Dropped; }
    // After each read, once decided: hands on what `reader` holds of the
    // body when a piece is full or the response `complete`, and releases
    // it there.
    Result Pass(HTTPResponseReader& reader, bool complete, const Target& target);
    // The start kept of a dropped body.
    core::NonInitializingBuffer<unsigned char> TakeKeptStart() { return std::move(keptStart_); }
    // Why the last Pass failed.
    const std::string& Error() const { return error_; }

private:
    bool decided_ = false;
    Use use_ = Use::Kept;
    bool keepsStart_ = false;
    core::NonInitializingBuffer<unsigned char> keptStart_;
    std::unique_ptr<HTTPBodyDecoder> decoder_;
    // A content coding of a sunk body that is not known.
    std::string unknown_;
    std::string error_;
};

}  // namespace network
