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
// the body of a successful answer (2xx, not to CONNECT), once its head is
// read, handed on whenever kPieceSize bytes have arrived and at its end.
// A content-coded body whose codings are all known is decoded on the way,
// with the decoder's bounds on the running totals, so the sink gets the
// decoded bytes in pieces of at most HTTPBodyDecoder::kPieceSize; with a
// coding that is not known it gets the bytes as received, as a response's
// body would hold them. Nothing of the body is held beyond one piece.
class HTTPSunkBody {
public:
    using Sink = std::function<bool(const unsigned char* data, std::size_t size)>;
    enum class Result {
        Ok,
        Refused,       // the sink refused a piece
        DoesNotDecode  // corrupt, cut short or over a bound
    };

    static constexpr std::size_t kPieceSize = std::size_t{256} << 10;

    // After each read: hands on what `reader` holds of the body when a piece
    // is full or the response `complete`, and releases it there. `limit`
    // bounds the decoded body.
    Result Pass(HTTPResponseReader& reader, bool isConnect, bool complete, std::uint64_t limit,
                const Sink& sink);
    // Why the last Pass failed.
    const std::string& Error() const { return error_; }

private:
    // Decides, once the head is read, whether the body goes to the sink and
    // how it is decoded.
    void Decide(HTTPResponseReader& reader, bool isConnect, std::uint64_t limit);

    bool decided_ = false;
    bool sinks_ = false;
    std::unique_ptr<HTTPBodyDecoder> decoder_;
    std::string error_;
};

}  // namespace network
