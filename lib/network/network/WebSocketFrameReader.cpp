#include "network/WebSocketFrameReader.h"

#include <algorithm>
#include <cstring>

namespace network {

namespace {

bool IsControl(unsigned opcode) {
    return opcode >= 8;
}

bool IsKnown(unsigned opcode) {
    return opcode <= 2 || (opcode >= 8 && opcode <= 10);
}

}  // namespace

core::NonInitializingBuffer<unsigned char> WebSocketFrameReader::TakePayload() {
    return std::move(control_ ? controlPayload_ : payload_);
}

WebSocketFrameReader::Result WebSocketFrameReader::Feed(const unsigned char* data, std::size_t size,
                                                        std::size_t& consumed) {
    consumed = 0;
    Result result = state_ == State::Failed ? Result::Error : Result::NeedMore;
    while (result == Result::NeedMore && consumed < size) {
        if (state_ == State::Payload) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(payloadLeft_, size - consumed));
            auto& target = Target();
            // The room was made when the frame began: no reallocation here.
            std::memcpy(target.data() + target.size(), data + consumed, n);
            consumed += n;
            result = TakePayloadBytes(n);
        } else {
            const std::size_t n = std::min(headNeeded_ - headSize_, size - consumed);
            std::memcpy(head_ + headSize_, data + consumed, n);
            headSize_ += n;
            consumed += n;
            if (headSize_ == headNeeded_) {
                result = state_ == State::Head ? ParseHead() : ParseExtended();
            }
        }
    }
    return result;
}

std::pair<unsigned char*, std::size_t> WebSocketFrameReader::PayloadRoom() {
    if (state_ != State::Payload || control_) {
        return {nullptr, 0};
    }
    return {payload_.data() + payload_.size(),
            static_cast<std::size_t>(std::min<std::uint64_t>(payloadLeft_, SIZE_MAX))};
}

WebSocketFrameReader::Result WebSocketFrameReader::PayloadWritten(std::size_t size) {
    if (size == 0) {
        return state_ == State::Failed ? Result::Error : Result::NeedMore;
    }
    return TakePayloadBytes(size);
}

WebSocketFrameReader::Result WebSocketFrameReader::TakePayloadBytes(std::size_t size) {
    auto& target = Target();
    const std::size_t start = target.size();
    target.resize(start + size);
    if (!control_ && messageOpcode_ == WebSocketOperationCode::Text &&
        !utf8_.write(target.data() + start, size)) {
        return Fail(kInvalidPayload, "a text message is not valid UTF-8");
    }
    payloadLeft_ -= size;
    return payloadLeft_ == 0 ? FinishFrame() : Result::NeedMore;
}

WebSocketFrameReader::Result WebSocketFrameReader::ParseHead() {
    final_ = (head_[0] & 0x80) != 0;
    frameOpcode_ = head_[0] & 0x0F;
    const unsigned len7 = head_[1] & 0x7F;
    if ((head_[0] & 0x70) != 0) {
        return Fail(kProtocolError, "a frame has reserved bits set");
    }
    // RFC 6455 section 5.1: a client closes on a masked frame.
    if ((head_[1] & 0x80) != 0) {
        return Fail(kProtocolError, "a server frame is masked");
    }
    if (!IsKnown(frameOpcode_)) {
        return Fail(kProtocolError, "a frame has the reserved opcode " + std::to_string(frameOpcode_));
    }
    control_ = IsControl(frameOpcode_);
    if (control_ && (!final_ || len7 > 125)) {
        return Fail(kProtocolError, "a control frame is fragmented or longer than 125 bytes");
    }
    if (!control_ && frameOpcode_ == 0 && !inMessage_) {
        return Fail(kProtocolError, "a continuation frame comes without a message");
    }
    if (!control_ && frameOpcode_ != 0 && inMessage_) {
        return Fail(kProtocolError, "a new message starts inside a fragmented one");
    }
    const std::size_t extra = len7 == 126 ? 2 : len7 == 127 ? 8 : 0;
    if (extra == 0) {
        return StartPayload(len7);
    }
    state_ = State::Extended;
    headNeeded_ = 2 + extra;
    return Result::NeedMore;
}

WebSocketFrameReader::Result WebSocketFrameReader::ParseExtended() {
    const std::size_t lengthBytes = headNeeded_ - 2;
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < lengthBytes; ++i) {
        length = length << 8 | head_[2 + i];
    }
    if (lengthBytes == 8 && (length >> 63) != 0) {
        return Fail(kProtocolError, "a frame announces a length with the top bit set");
    }
    return StartPayload(length);
}

WebSocketFrameReader::Result WebSocketFrameReader::StartPayload(std::uint64_t length) {
    auto& target = Target();
    if (control_) {
        target.clear();
        target.reserve(static_cast<std::size_t>(length));
    } else {
        const std::uint64_t held = frameOpcode_ == 0 ? payload_.size() : 0;
        if (length > messageLimit_ || held > messageLimit_ - length) {
            return Fail(kMessageTooBig, "a message of " + std::to_string(held) + " + " +
                                            std::to_string(length) + " bytes exceeds the limit of " +
                                            std::to_string(messageLimit_));
        }
        if (frameOpcode_ != 0) {
            messageOpcode_ = static_cast<WebSocketOperationCode>(frameOpcode_);
            utf8_.reset();
            if (target.capacity() == 0 && spare_.capacity() >= length && spare_.capacity() / 2 <= length) {
                target.swap(spare_);
            }
            // Storage not taken by this message is not held for long.
            spare_ = {};
            target.clear();
        }
        // Room for the whole frame at once, its payload read straight into
        // it; a message in many fragments doubles its room, within the limit.
        const auto needed = static_cast<std::size_t>(held + length);
        if (needed > target.capacity()) {
            target.reserve(frameOpcode_ == 0 ? static_cast<std::size_t>(std::min<std::uint64_t>(
                                                   std::max(needed, target.capacity() * 2), messageLimit_))
                                             : needed);
        }
    }
    state_ = State::Payload;
    payloadLeft_ = length;
    return length == 0 ? FinishFrame() : Result::NeedMore;
}

WebSocketFrameReader::Result WebSocketFrameReader::FinishFrame() {
    state_ = State::Head;
    headSize_ = 0;
    headNeeded_ = 2;
    if (control_) {
        opcode_ = static_cast<WebSocketOperationCode>(frameOpcode_);
        return opcode_ == WebSocketOperationCode::Close ? CheckClose() : Result::Control;
    }
    if (final_ && messageOpcode_ == WebSocketOperationCode::Text && !utf8_.finish()) {
        return Fail(kInvalidPayload, "a text message ends inside a UTF-8 sequence");
    }
    inMessage_ = !final_;
    opcode_ = messageOpcode_;
    return final_ ? Result::Message : Result::NeedMore;
}

WebSocketFrameReader::Result WebSocketFrameReader::CheckClose() {
    // RFC 6455 section 5.5.1: no body, or a code and a UTF-8 reason.
    const auto& body = controlPayload_;
    if (body.size() == 1) {
        return Fail(kProtocolError, "a Close frame carries a single byte");
    }
    if (body.size() >= 2) {
        const auto code = static_cast<std::uint16_t>(body[0] << 8 | body[1]);
        if (!IsSendableCloseCode(code)) {
            return Fail(kProtocolError, "a Close frame carries the code " + std::to_string(code) +
                                            ", which may not be sent");
        }
        boost::beast::websocket::detail::utf8_checker reason;
        if (!reason.write(body.data() + 2, body.size() - 2) || !reason.finish()) {
            return Fail(kInvalidPayload, "a Close frame's reason is not valid UTF-8");
        }
    }
    return Result::Control;
}

bool WebSocketFrameReader::IsSendableCloseCode(std::uint16_t code) {
    // 1004 is reserved; 1005, 1006 and 1015 only stand for what a
    // connection saw, never in a frame.
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

WebSocketFrameReader::Result WebSocketFrameReader::Fail(std::uint16_t code, std::string text) {
    state_ = State::Failed;
    closeCode_ = code;
    errorText_ = std::move(text);
    return Result::Error;
}

}  // namespace network
