#include "network/CBYTESubBuffer.h"

namespace network {

CBYTESubBuffer::CBYTESubBuffer(ByteBuffer&& source)
    : size(source.size()), buffer(std::make_shared<ByteBuffer>(std::move(source))) {}

CBYTESubBuffer::CBYTESubBuffer(std::shared_ptr<ByteBuffer> shared)
    : size(shared ? shared->size() : 0), buffer(std::move(shared)) {}

CBYTESubBuffer::CBYTESubBuffer(std::shared_ptr<ByteBuffer> shared, std::uint64_t offset_,
                               std::uint64_t size_)
    : offset(offset_), size(size_), buffer(std::move(shared)) {}

CBYTESubBuffer::CBYTESubBuffer(CBYTESubBuffer&& other) noexcept
    : offset(other.offset), size(other.size), buffer(std::move(other.buffer)) {
    other.offset = 0;
    other.size = 0;
}

CBYTESubBuffer& CBYTESubBuffer::operator=(CBYTESubBuffer&& other) noexcept {
    if (this != &other) {
        buffer.reset();
        offset = other.offset;
        size = other.size;
        buffer = std::move(other.buffer);
        other.offset = 0;
        other.size = 0;
    }
    return *this;
}

const unsigned char* CBYTESubBuffer::Data() const {
    return buffer ? buffer->data() + offset : nullptr;
}

}  // namespace network
