#include "network/WebSocketFrame.h"

#include <cstring>

namespace network {

std::uint64_t WebSocketFrameSize(std::uint64_t payloadSize) {
    return payloadSize + (payloadSize < 126 ? 6 : payloadSize < 65536 ? 8 : 14);
}

std::size_t WriteWebSocketFrameHead(unsigned char* head, WebSocketOperationCode opcode,
                                    std::uint64_t payloadSize, const WebSocketMaskingKey& key) {
    std::size_t headSize = 2;
    head[0] = static_cast<unsigned char>(0x80 | (static_cast<unsigned>(opcode) & 0x0F));
    if (payloadSize < 126) {
        head[1] = static_cast<unsigned char>(0x80 | payloadSize);
    } else if (payloadSize < 65536) {
        head[1] = 0x80 | 126;
        head[2] = static_cast<unsigned char>(payloadSize >> 8);
        head[3] = static_cast<unsigned char>(payloadSize);
        headSize = 4;
    } else {
        head[1] = 0x80 | 127;
        for (int i = 0; i < 8; ++i) {
            head[2 + i] = static_cast<unsigned char>(payloadSize >> (56 - 8 * i));
        }
        headSize = 10;
    }
    std::memcpy(head + headSize, key.data(), key.size());
    return headSize + key.size();
}

core::NonInitializingBuffer<unsigned char> MakeWebSocketFrame(WebSocketOperationCode opcode,
                                                              const unsigned char* payload,
                                                              std::size_t size,
                                                              const WebSocketMaskingKey& key) {
    core::NonInitializingBuffer<unsigned char> frame(WebSocketFrameSize(size));
    const std::size_t headSize = WriteWebSocketFrameHead(frame.data(), opcode, size, key);
    unsigned char* body = frame.data() + headSize;
    if (size > 0) {
        std::memcpy(body, payload, size);
    }
    MaskWebSocketPayload(body, size, key, 0);
    return frame;
}

void MaskWebSocketPayload(unsigned char* data, std::size_t size, const WebSocketMaskingKey& key,
                          std::uint64_t offset) {
    // Sixteen bytes at a time (vector registers on every target the
    // compilers know), after the bytes up to a key boundary.
    using Block = unsigned char __attribute__((vector_size(16)));
    std::size_t i = 0;
    for (; i < size && (offset + i) % 4 != 0; ++i) {
        data[i] ^= key[(offset + i) % 4];
    }
    Block repeated;
    for (std::size_t k = 0; k < sizeof repeated; ++k) {
        repeated[k] = key[k % 4];
    }
    for (; i + 4 * sizeof(Block) <= size; i += 4 * sizeof(Block)) {
        Block blocks[4];
        std::memcpy(blocks, data + i, sizeof blocks);
        for (auto& block : blocks) {
            block ^= repeated;
        }
        std::memcpy(data + i, blocks, sizeof blocks);
    }
    for (; i + sizeof(Block) <= size; i += sizeof(Block)) {
        Block block;
        std::memcpy(&block, data + i, sizeof block);
        block ^= repeated;
        std::memcpy(data + i, &block, sizeof block);
    }
    for (; i < size; ++i) {
        data[i] ^= key[(offset + i) % 4];
    }
}

}  // namespace network
