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
            const std::size_t start = target.size();
            target.append(data + consumed, n);
            if (masked_) {
                MaskWebSocketPayload(target.data() + start, n, key_, payloadOffset_);
            }
            consumed += n;
            payloadOffset_ += n;
            payloadLeft_ -= n;
            if (payloadLeft_ == 0) {
                result = FinishFrame();
            }
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

WebSocketFrameReader::Result WebSocketFrameReader::ParseHead() {
    final_ = (head_[0] & 0x80) != 0;
    frameOpcode_ = head_[0] & 0x0F;
    masked_ = (head_[1] & 0x80) != 0;
    const unsigned len7 = head_[1] & 0x7F;
    if ((head_[0] & 0x70) != 0) {
        return Fail(kProtocolError, "a frame has reserved bits set");
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
    const std::size_t extra = (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + (masked_ ? 4 : 0);
    if (extra == 0) {
        key_ = {};
        return StartPayload(len7);
    }
    state_ = State::Extended;
    headNeeded_ = 2 + extra;
    return Result::NeedMore;
}

WebSocketFrameReader::Result WebSocketFrameReader::ParseExtended() {
    const unsigned len7 = head_[1] & 0x7F;
    const std::size_t lengthBytes = len7 == 126 ? 2 : len7 == 127 ? 8 : 0;
    std::uint64_t length = lengthBytes == 0 ? len7 : 0;
    for (std::size_t i = 0; i < lengthBytes; ++i) {
        length = length << 8 | head_[2 + i];
    }
    if (lengthBytes == 8 && (length >> 63) != 0) {
        return Fail(kProtocolError, "a frame announces a length with the top bit set");
    }
    key_ = {};
    if (masked_) {
        std::memcpy(key_.data(), head_ + 2 + lengthBytes, key_.size());
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
            target.clear();
            target.reserve(static_cast<std::size_t>(length));
        }
    }
    state_ = State::Payload;
    payloadLeft_ = length;
    payloadOffset_ = 0;
    return length == 0 ? FinishFrame() : Result::NeedMore;
}

WebSocketFrameReader::Result WebSocketFrameReader::FinishFrame() {
    state_ = State::Head;
    headSize_ = 0;
    headNeeded_ = 2;
    if (control_) {
        opcode_ = static_cast<WebSocketOperationCode>(frameOpcode_);
        return Result::Control;
    }
    inMessage_ = !final_;
    opcode_ = messageOpcode_;
    return final_ ? Result::Message : Result::NeedMore;
}

WebSocketFrameReader::Result WebSocketFrameReader::Fail(std::uint16_t code, std::string text) {
    state_ = State::Failed;
    closeCode_ = code;
    errorText_ = std::move(text);
    return Result::Error;
}

}  // namespace network
