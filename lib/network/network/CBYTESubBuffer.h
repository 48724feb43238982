#pragma once

#include <cstdint>
#include <memory>

#include "core/NonInitializingBuffer.h"

namespace network {

using ByteBuffer = core::NonInitializingBuffer<unsigned char>;

// A window {offset, size} on a shared byte buffer: what sockets write and
// what reads deliver. Copies share the bytes; nothing copies them.
class CBYTESubBuffer {
public:
    CBYTESubBuffer() = default;
    explicit CBYTESubBuffer(ByteBuffer&& buffer);
    explicit CBYTESubBuffer(std::shared_ptr<ByteBuffer> buffer);
    CBYTESubBuffer(std::shared_ptr<ByteBuffer> buffer, std::uint64_t offset, std::uint64_t size);

    CBYTESubBuffer(const CBYTESubBuffer&) = default;
    CBYTESubBuffer& operator=(const CBYTESubBuffer&) = default;
    CBYTESubBuffer(CBYTESubBuffer&& other) noexcept;
    CBYTESubBuffer& operator=(CBYTESubBuffer&& other) noexcept;

    // The window's first byte; null without a buffer.
    const unsigned char* Data() const;
    std::uint64_t Size() const { return size; }

    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::shared_ptr<ByteBuffer> buffer;
};

}  // namespace network
