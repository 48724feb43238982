#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include "core/NonInitializingBuffer.h"

namespace network {

// A TCP socket whose first bytes were read before it was handed over: the
// bytes of a tunnel that came in with the proxy's answer to CONNECT. Reads
// take those bytes first, then the socket's; writes go to the socket. The
// next layer of a socket's TLS stream, so that the TLS records a tunnelled
// server sent behind that answer reach the TLS engine. It counts the bytes
// it hands over: what the TLS stream holds that the engine has not read is
// that count less the engine's.
class PrefixedTCPStream {
public:
    using next_layer_type = boost::asio::ip::tcp::socket;
    using lowest_layer_type = boost::asio::ip::tcp::socket::lowest_layer_type;
    using executor_type = boost::asio::ip::tcp::socket::executor_type;

    PrefixedTCPStream(boost::asio::ip::tcp::socket& socket,
                      core::NonInitializingBuffer<unsigned char> prefix)
        : socket_(&socket), prefix_(std::move(prefix)) {}

    executor_type get_executor() noexcept { return socket_->get_executor(); }
    next_layer_type& next_layer() { return *socket_; }
    lowest_layer_type& lowest_layer() { return socket_->lowest_layer(); }
    const lowest_layer_type& lowest_layer() const { return socket_->lowest_layer(); }

    // The bytes read through this stream so far, the prefix's included.
    std::uint64_t Delivered() const { return delivered_; }

    template <typename MutableBuffers, typename Handler>
    auto async_read_some(const MutableBuffers& buffers, Handler&& handler) {
        return boost::asio::async_initiate<Handler, void(boost::system::error_code, std::size_t)>(
            [this, &buffers](auto&& completion) {
                if (taken_ == prefix_.size()) {
                    // Completes where the reader's handler would have.
                    auto executor =
                        boost::asio::get_associated_executor(completion, socket_->get_executor());
                    socket_->async_read_some(
                        buffers, boost::asio::bind_executor(
                                     executor, [this, completion = std::move(completion)](
                                                   const boost::system::error_code& error,
                                                   std::size_t bytes) mutable {
                                         delivered_ += bytes;
                                         completion(error, bytes);
                                     }));
                    return;
                }
                const std::size_t count = boost::asio::buffer_copy(
                    buffers, boost::asio::buffer(prefix_.data() + taken_, prefix_.size() - taken_));
                taken_ += count;
                delivered_ += count;
                if (taken_ == prefix_.size()) {
                    prefix_ = {};
                    taken_ = 0;
                }
                // Completes as an operation of the socket would: never within the call.
                auto executor =
                    boost::asio::get_associated_executor(completion, socket_->get_executor());
                boost::asio::post(executor, [completion = std::move(completion), count]() mutable {
                    completion(boost::system::error_code(), count);
                });
            },
            handler);
    }

    template <typename ConstBuffers, typename Handler>
    auto async_write_some(const ConstBuffers& buffers, Handler&& handler) {
        return socket_->async_write_some(buffers, std::forward<Handler>(handler));
    }

private:
    boost::asio::ip::tcp::socket* socket_;
    core::NonInitializingBuffer<unsigned char> prefix_;
    std::size_t taken_ = 0;
    std::uint64_t delivered_ = 0;
};

}  // namespace network
