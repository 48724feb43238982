#include "network/StreambufHelpers.h"

#include <algorithm>

#include <boost/asio/buffers_iterator.hpp>

namespace network {

std::string StreambufToString(boost::asio::streambuf& streambuf) {
    const auto data = streambuf.data();
    std::string text(boost::asio::buffers_begin(data), boost::asio::buffers_end(data));
    streambuf.consume(text.size());
    return text;
}

core::NonInitializingBuffer<unsigned char> StreambufToBuffer(boost::asio::streambuf& streambuf,
                                                             std::size_t n) {
    core::NonInitializingBuffer<unsigned char> buffer;
    const std::size_t count = std::min(n, streambuf.size());
    buffer.reserve(count);
    const auto* bytes = static_cast<const unsigned char*>(streambuf.data().data());
    buffer.append(bytes, count);
    streambuf.consume(count);
    return buffer;
}

core::NonInitializingBuffer<unsigned char> StreambufToBuffer(boost::asio::streambuf& streambuf) {
    return StreambufToBuffer(streambuf, streambuf.size());
}

core::NonInitializingBuffer<unsigned char> JoinBuffers(
    std::vector<core::NonInitializingBuffer<unsigned char>>&& buffers) {
    if (buffers.size() == 1) {
        return std::move(buffers.front());
    }
    std::size_t total = 0;
    for (const auto& buffer : buffers) {
        total += buffer.size();
    }
    core::NonInitializingBuffer<unsigned char> joined;
    joined.reserve(total);
    for (const auto& buffer : buffers) {
        joined.append(buffer.data(), buffer.size());
    }
    return joined;
}

}  // namespace network
