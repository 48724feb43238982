#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include <boost/beast/websocket/detail/utf8_checker.hpp>

#include "core/NonInitializingBuffer.h"
#include "network/WebSocketFrame.h"
#include "network/WebSocketOperationCode.h"

namespace network {

// Reads the frames a web-socket server sends, fed in pieces of any size:
// one state per framing step, the announced length checked against the
// message limit before anything is allocated, fragments joined into one
// message (control frames may come between them), text checked for UTF-8
// as it comes, Close frames checked, and protocol faults turned into the
// close code the connection must fail with. The outcome is the same whether
// the bytes come whole or one by one.
class WebSocketFrameReader {
public:
    static constexpr std::uint64_t kDefaultMessageLimit = 16 * 1024 * 1024;
    // RFC 6455 section 7.4.1.
    static constexpr std::uint16_t kProtocolError = 1002;
    static constexpr std::uint16_t kInvalidPayload = 1007;
    static constexpr std::uint16_t kMessageTooBig = 1009;

    // Whether a Close frame may carry `code` (RFC 6455 section 7.4: the
    // codes defined for use, those registered since, 3000 to 4999).
    static bool IsSendableCloseCode(std::uint16_t code);

    enum class Result {
        NeedMore,  // every byte fed was taken
        Message,   // a whole data message is ready (TakePayload)
        Control,   // a close, ping or pong frame is ready (TakePayload)
        Error,     // the stream broke the protocol (CloseCode, ErrorText)
    };

    explicit WebSocketFrameReader(std::uint64_t messageLimit = kDefaultMessageLimit)
        : messageLimit_(messageLimit) {}

    // The largest message accepted, all of its fragments together.
    void SetMessageLimit(std::uint64_t bytes) { messageLimit_ = bytes; }
    std::uint64_t MessageLimit() const { return messageLimit_; }

    // Takes bytes up to the end of the next complete frame at most;
    // `consumed` tells how many were taken. After an error nothing more is.
    Result Feed(const unsigned char* data, std::size_t size, std::size_t& consumed);

    // While a data frame's payload is being read: where its next bytes go,
    // inside the message's own storage, and how many of them the frame still
    // has; {nullptr, 0} otherwise. Reading there saves the copy Feed makes.
    std::pair<unsigned char*, std::size_t> PayloadRoom();
    // Whether nothing of the next frame has been read.
    bool AtFrameStart() const { return state_ == State::Head && headSize_ == 0; }
    // Takes `size` bytes written at PayloadRoom() (no more than it offered);
    // reports as Feed does.
    Result PayloadWritten(std::size_t size);

    // Storage the next message may be read into instead of a new one (a
    // sent frame's payload, say, whose pages are already the process's):
    // taken by the next message when it fits it without more than doubling
    // it, else let go then.
    void OfferStorage(core::NonInitializingBuffer<unsigned char>&& storage) { spare_ = std::move(storage); }

    // After Message: the message's opcode (text or binary); after Control:
    // the frame's.
    WebSocketOperationCode Opcode() const { return opcode_; }
    // The payload of the message or control frame just reported; moved out.
    core::NonInitializingBuffer<unsigned char> TakePayload();
    std::uint16_t CloseCode() const { return closeCode_; }
    const std::string& ErrorText() const { return errorText_; }

private:
    enum class State { Head, Extended, Payload, Failed };

    Result ParseHead();
    Result ParseExtended();
    Result StartPayload(std::uint64_t length);
    // Counts `size` payload bytes written behind the current frame's data.
    Result TakePayloadBytes(std::size_t size);
    Result FinishFrame();
    Result CheckClose();
    Result Fail(std::uint16_t code, std::string text);
    // The buffer the current frame's payload goes into.
    core::NonInitializingBuffer<unsigned char>& Target() { return control_ ? controlPayload_ : payload_; }

    std::uint64_t messageLimit_;
    State state_ = State::Head;
    unsigned char head_[10] = {};
    std::size_t headSize_ = 0;    // bytes of head_ filled
    std::size_t headNeeded_ = 2;  // bytes head_ must hold for the current step
    bool final_ = false;
    bool control_ = false;
    unsigned frameOpcode_ = 0;
    std::uint64_t payloadLeft_ = 0;
    bool inMessage_ = false;           // a fragmented message is being joined
    WebSocketOperationCode messageOpcode_ = WebSocketOperationCode::Continuation;
    // The text message's bytes so far, across its fragments (Beast's
    // checker takes UTF-8 in pieces and refuses a sequence at its first bad
    // byte).
    boost::beast::websocket::detail::utf8_checker utf8_;
    WebSocketOperationCode opcode_ = WebSocketOperationCode::Continuation;  // last reported
    core::NonInitializingBuffer<unsigned char> payload_;
    core::NonInitializingBuffer<unsigned char> spare_;
    core::NonInitializingBuffer<unsigned char> controlPayload_;
    std::uint16_t closeCode_ = 0;
    std::string errorText_;
};

}  // namespace network
