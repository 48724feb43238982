#include "BeastClients.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

namespace {

using Clock = std::chrono::steady_clock;
namespace http = boost::beast::http;
using boost::asio::ip::tcp;

// The Beast clients' read buffer.
constexpr std::size_t kBeastBufferSize = 64 * 1024;

http::request<http::empty_body> BeastRequest(int port, const std::string& target) {
    http::request<http::empty_body> request{http::verb::get, target, 11};
    request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
    request.set(http::field::accept, "*/*");
    request.keep_alive(true);
    return request;
}

tcp::endpoint Loopback(int port) {
    return {boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)};
}

}  // namespace

double BeastSyncRate(int port, const std::string& target, int connections, int requests) {
    std::atomic<bool> failed{false};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&] {
            boost::asio::io_context context;
            tcp::socket socket(context);
            boost::system::error_code error;
            socket.connect(Loopback(port), error);
            boost::beast::flat_buffer buffer;
            buffer.reserve(kBeastBufferSize);
            for (int i = 0; i < requests && !error; ++i) {
                http::write(socket, BeastRequest(port, target), error);
                http::response<http::string_body> response;
                http::read(socket, buffer, response, error);
                if (!error && response.result_int() != 200) {
                    error = boost::asio::error::operation_aborted;
                }
            }
            if (error) {
                failed = true;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return failed ? 0 : connections * static_cast<double>(requests) / seconds;
}

namespace {

// One connection of the asynchronous Beast client: connect, then write and
// read until its requests are done.
class BeastSession : public std::enable_shared_from_this<BeastSession> {
public:
    BeastSession(boost::asio::io_context& context, int port, std::string target, int requests,
                 std::atomic<bool>& failed)
        : socket_(context), port_(port), target_(std::move(target)), left_(requests),
          failed_(failed) {
        buffer_.reserve(kBeastBufferSize);
    }

    void Start() {
        socket_.async_connect(Loopback(port_),
                              [self = shared_from_this()](boost::system::error_code error) {
                                  self->Send(error);
                              });
    }

private:
    void Send(boost::system::error_code error) {
        if (error) {
            failed_ = true;
            return;
        }
        request_ = BeastRequest(port_, target_);
        http::async_write(socket_, request_,
                          [self = shared_from_this()](boost::system::error_code e, std::size_t) {
                              self->Receive(e);
                          });
    }

    void Receive(boost::system::error_code error) {
        if (error) {
            failed_ = true;
            return;
        }
        response_ = {};
        http::async_read(socket_, buffer_, response_,
                         [self = shared_from_this()](boost::system::error_code e, std::size_t) {
                             if (!e && self->response_.result_int() != 200) {
                                 e = boost::asio::error::operation_aborted;
                             }
                             if (e || --self->left_ == 0) {
                                 self->failed_ = self->failed_ || bool(e);
                                 return;
                             }
                             self->Send(e);
                         });
    }

    tcp::socket socket_;
    int port_;
    std::string target_;
    int left_;
    std::atomic<bool>& failed_;
    boost::beast::flat_buffer buffer_;
    http::request<http::empty_body> request_;
    http::response<http::string_body> response_;
};

}  // namespace

double BeastAsyncRate(int port, const std::string& target, int connections, int requests) {
    boost::asio::io_context context;
    std::atomic<bool> failed{false};
    const auto start = Clock::now();
    for (int c = 0; c < connections; ++c) {
        std::make_shared<BeastSession>(context, port, target, requests, failed)->Start();
    }
    // On a thread of its own, as the library's service and the synchronous
    // clients run: with one connection the rate follows the cost of waking
    // the client's thread more than the client's own work, and the main
    // thread, long running, would be woken on other terms than new threads.
    std::thread([&] { context.run(); }).join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return failed ? 0 : connections * static_cast<double>(requests) / seconds;
}
