#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/NonInitializingBuffer.h"
#include "network/WebSocketOperationCode.h"

namespace network {

using WebSocketMaskingKey = std::array<unsigned char, 4>;

// The size of a client frame carrying `payloadSize` bytes: the payload plus
// 6 bytes below 126, plus 8 below 65536, plus 14 above.
std::uint64_t WebSocketFrameSize(std::uint64_t payloadSize);

// The most a client frame's head takes: two bytes, an eight-byte length and
// the masking key.
constexpr std::size_t kWebSocketFrameHeadMax = 14;

// Writes the head of a client frame carrying `payloadSize` bytes (FIN set,
// reserved bits clear, the masking key last) into `head`, which has room for
// kWebSocketFrameHeadMax bytes; returns its size.
std::size_t WriteWebSocketFrameHead(unsigned char* head, WebSocketOperationCode opcode,
                                    std::uint64_t payloadSize, const WebSocketMaskingKey& key);

// One client frame (RFC 6455 section 5.2) in one buffer of exactly its size:
// FIN set, reserved bits clear, the payload masked with `key`.
core::NonInitializingBuffer<unsigned char> MakeWebSocketFrame(WebSocketOperationCode opcode,
                                                              const unsigned char* payload,
                                                              std::size_t size,
                                                              const WebSocketMaskingKey& key);

// XORs `size` bytes with `key`, the first byte being byte `offset` of the
// payload.
void MaskWebSocketPayload(unsigned char* data, std::size_t size, const WebSocketMaskingKey& key,
                          std::uint64_t offset);

}  // namespace network
