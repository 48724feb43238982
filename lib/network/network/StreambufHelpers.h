#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <boost/asio/streambuf.hpp>

#include "core/NonInitializingBuffer.h"

namespace network {

// All readable bytes of `streambuf`, consumed.
std::string StreambufToString(boost::asio::streambuf& streambuf);

// Up to `n` readable bytes, consumed; without `n` all of them.
core::NonInitializingBuffer<unsigned char> StreambufToBuffer(boost::asio::streambuf& streambuf,
                                                             std::size_t n);
core::NonInitializingBuffer<unsigned char> StreambufToBuffer(boost::asio::streambuf& streambuf);

// The buffers one after the other; a single buffer is moved out uncopied.
core::NonInitializingBuffer<unsigned char> JoinBuffers(
    std::vector<core::NonInitializingBuffer<unsigned char>>&& buffers);

}  // namespace network
