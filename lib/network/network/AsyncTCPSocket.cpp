#include "network/AsyncTCPSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/write.hpp>

#include "network/AsyncHTTPConnection.h"
#include "network/CertificateVerifier.h"
#include "network/SocketSignals.h"
#include "network/polymorphic_verifier.h"

namespace network {

namespace {

std::string AddressText(const boost::asio::ip::address& address, std::uint16_t port) {
    return address.to_string() + ":" + std::to_string(port);
}

// Sets one socket option; a failure is logged and the connect goes on.
template <typename Value>
void SetOption(boost::asio::ip::tcp::socket& socket, int level, int name, const Value& value,
               common::ILogger& logger, const char* warning) {
    if (::setsockopt(socket.native_handle(), level, name, &value, sizeof value) != 0) {
        const boost::system::error_code error(errno, boost::system::system_category());
        logger.warn("%s%s", warning, AsyncTCPSocket::DescribeError(error).c_str());
    }
}

// What a CONNECT asks for: {"http", host, port}; an IPv6 host in brackets.
URL TunnelTarget(const std::string& host, std::uint16_t port) {
    URL target;
    target.scheme = "http";
    target.host = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    target.port = port;
    return target;
}

}  // namespace

AsyncTCPSocket::AsyncTCPSocket(std::shared_ptr<AsyncService> service,
                               std::shared_ptr<AsyncSSLContext> sslContext,
                               std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                               std::shared_ptr<INetworkConnectivity> connectivity)
    : service_(std::move(service)),
      sslContext_(std::move(sslContext)),
      connectivity_(std::move(connectivity)),
      proxyAuthenticator_(std::move(proxyAuthenticator)),
      logger_(common::createLogger("AsyncTCPSocket")),
      proxyAuthentication_(proxyAuthenticator_, connectivity_, *logger_),
      socket_(service_->GetIOContext()),
      resolver_(std::make_shared<HostResolver>(service_)),
      controlDeadline_(service_->GetIOContext()),
      readDeadline_(service_->GetIOContext()),
      writeDeadline_(service_->GetIOContext()) {}

AsyncTCPSocket::~AsyncTCPSocket() = default;

std::string AsyncTCPSocket::DescribeError(const boost::system::error_code& error) {
    std::string text = error.message();
    const auto value = static_cast<unsigned long>(error.value());
    if (error.category() == boost::asio::error::get_ssl_category()) {
        char openssl[256] = {};
        ERR_error_string_n(value, openssl, sizeof openssl);
        text += std::string(": ") + openssl + " [" + std::to_string(value >> 24) + ", " +
                std::to_string((value >> 12) & 0xfff) + ", " + std::to_string(value & 0xfff) + "]";
    } else {
        text += " [" + std::to_string(error.value()) + "]";
    }
    return text;
}

bool AsyncTCPSocket::IsNetworkAvailable() const {
    return !connectivity_ || connectivity_->IsNetworkAvailable();
}

void AsyncTCPSocket::ListenForCloseAll() {
    if (!connectivity_) {
        return;
    }
    // The signal may come from any thread: the close is posted to this
    // socket's own context, and a socket already gone is left alone.
    closeConnection_ = connectivity_->GetSignals().closeAll.connect(
        [weak = weak_from_this(), context = &service_->GetIOContext()] {
            boost::asio::post(*context, [weak] {
                if (auto self = weak.lock()) {
                    if (self->tlsStream_) {
                        SSL_set_quiet_shutdown(self->tlsStream_->native_handle(), 1);
                    }
                    self->AsyncClose({});
                }
            });
        });
}

void AsyncTCPSocket::AsyncConnect(const std::string& host, std::uint16_t port, bool ssl,
                                  Callback callback) {
    AsyncConnect(host, port, ssl, {}, 0, std::move(callback));
}

void AsyncTCPSocket::AsyncConnect(const std::string& host, std::uint16_t port, bool ssl,
                                  const std::string& proxyHost, std::uint16_t proxyPort,
                                  Callback callback) {
    ListenForCloseAll();
    proxyAuthentication_.StartConnect();
    Connect(host, port, ssl, proxyHost, proxyPort, std::move(callback));
}

void AsyncTCPSocket::Connect(const std::string& host, std::uint16_t port, bool ssl,
                             const std::string& proxyHost, std::uint16_t proxyPort,
                             Callback callback) {
    endpoint_ = {host, port};
    if (!proxyHost.empty()) {
        if (connected_) {
            // The proxy kept the connection open: the next CONNECT goes on it.
            AsyncProxyAuthenticate(host, port, ssl, proxyHost, proxyPort, std::move(callback));
            return;
        }
        AsyncDirectConnect(proxyHost, proxyPort,
                           [self = shared_from_this(), host, port, ssl, proxyHost, proxyPort,
                            callback](ErrorCode code) {
                               if (code != kSuccess) {
                                   callback(code);
                                   return;
                               }
                               self->AsyncProxyAuthenticate(host, port, ssl, proxyHost, proxyPort,
                                                            callback);
                           });
        return;
    }
    AsyncDirectConnect(host, port,
                       [self = shared_from_this(), host, ssl, callback](ErrorCode code) {
                           if (code != kSuccess) {
                               callback(code);
                           } else if (ssl) {
                               self->AsyncHandshake(host, callback);
                           } else {
                               callback(kSuccess);
                           }
                       });
}

void AsyncTCPSocket::AsyncProxyAuthenticate(const std::string& host, std::uint16_t port, bool ssl,
                                            const std::string& proxyHost,
                                            std::uint16_t proxyPort, Callback callback) {
    logger_->debug("Sending HTTP CONNECT to proxy <%s:%u>", proxyHost.c_str(),
                   static_cast<unsigned>(proxyPort));
    auto connection = AsyncHTTPConnection::Create(shared_from_this(), false);
    connection->SetKeepAlive(true);
    // The body of a refusal is of no use here (a 407's challenge is in its
    // head): read and dropped as it comes, however large.
    connection->SetBodySink({}, AsyncHTTPConnection::kSinkPieceSize,
                            [](std::uint32_t) { return AsyncHTTPConnection::BodyUse::Dropped; });
    auto request = std::make_shared<AsyncHTTPRequest>();
    if (const std::string authorization = proxyAuthentication_.Authorization();
        !authorization.empty()) {
        request->AddHeader("Proxy-Authorization", authorization);
    }
    request->SetMethod("CONNECT");
    // A tunnel is opened where it was asked for or not at all.
    request->redirectsLeft = 0;
    connection->SubmitRequest(
        TunnelTarget(host, port).ToString(), std::move(request),
        [self = shared_from_this(), weakConnection = std::weak_ptr<AsyncHTTPConnection>(connection),
         connect = ProxyConnect{host, port, ssl, proxyHost, proxyPort, std::move(callback)}](
            HTTPStatusCode status, std::unique_ptr<IHTTPResponse> response) {
            if (const auto connection = weakConnection.lock(); connection && status == 200) {
                // What came behind the proxy's answer is the tunnelled peer's.
                self->tunnelInput_ = connection->TakeUpgradeBytes();
            }
            self->OnProxyResponse(connect, status, response);
        });
}

void AsyncTCPSocket::OnProxyResponse(const ProxyConnect& connect, HTTPStatusCode status,
                                     const std::unique_ptr<IHTTPResponse>& response) {
    logger_->debug("Proxy responds to HTTP CONNECT with status %u", static_cast<unsigned>(status));
    if (status == 200) {
        proxyAuthentication_.Drop();
        if (connect.ssl) {
            AsyncHandshake(connect.host, connect.callback);
        } else {
            connect.callback(kSuccess);
        }
    } else if (status == 403 && proxyAuthentication_.RetriesForbidden()) {
        Connect(connect.host, connect.port, connect.ssl, connect.proxyHost, connect.proxyPort,
                connect.callback);
    } else if (status == 407 && response) {
        OnProxyChallenge(connect, *response);
    } else {
        proxyAuthentication_.Drop();
        connect.callback(kProxyConnectFailed);
    }
}

void AsyncTCPSocket::OnProxyChallenge(const ProxyConnect& connect, IHTTPResponse& response) {
    const auto code = proxyAuthentication_.OnChallenge(
        response, TunnelTarget(connect.host, connect.port).Authority(),
        connect.proxyHost + ":" + std::to_string(connect.proxyPort));
    if (code != kSuccess) {
        connect.callback(code);
        return;
    }
    Connect(connect.host, connect.port, connect.ssl, connect.proxyHost, connect.proxyPort,
            connect.callback);
}

void AsyncTCPSocket::AsyncDirectConnect(const std::string& host, std::uint16_t port,
                                        Callback callback) {
    if (!IsNetworkAvailable()) {
        callback(kNetworkUnavailable);
        return;
    }
    boost::system::error_code notLiteral;
    const auto address = boost::asio::ip::make_address(host, notLiteral);
    if (!notLiteral) {
        ConnectEndpoint({address, port}, std::move(callback));
        return;
    }
    resolver_->Resolve({host, port}, [self = shared_from_this(), callback](
                                         const boost::system::error_code& error,
                                         std::deque<ResolvedEndpoint>&& endpoints) {
        if (error || endpoints.empty()) {
            callback(kResolveFailed);
            return;
        }
        if (self->connectivity_) {
            self->connectivity_->NotifyConnected();
        }
        self->ConnectNext(std::move(endpoints), callback);
    });
}

void AsyncTCPSocket::ConnectNext(std::deque<ResolvedEndpoint> endpoints, Callback callback) {
    const ResolvedEndpoint endpoint = endpoints.front();
    endpoints.pop_front();
    ConnectEndpoint(endpoint, [self = shared_from_this(), rest = std::move(endpoints),
                               callback](ErrorCode code) {
        if (code == kConnectFailed && !rest.empty()) {
            self->ConnectNext(rest, callback);
        } else {
            callback(code);
        }
    });
}

void AsyncTCPSocket::OpenSocket(const boost::asio::ip::tcp& protocol) {
    boost::system::error_code error;
    socket_.open(protocol, error);
    if (error) {
        logger_->warn("Failed to open socket; reason: %s", DescribeError(error).c_str());
    }
    // A new connection gets a new TLS session, made at its handshake.
    tlsStream_.reset();
    tunnelInput_ = {};
    secure_ = false;
    timedOut_ = false;

    const int noDelay = 1;
    SetOption(socket_, IPPROTO_TCP, TCP_NODELAY, noDelay, *logger_,
              "Failed to set socket option TCP_NODELAY; reason: ");
    const timeval time{static_cast<time_t>(timeout_ / 1000),
                       static_cast<suseconds_t>((timeout_ % 1000) * 1000)};
    SetOption(socket_, SOL_SOCKET, SO_RCVTIMEO, time, *logger_,
              "Failed to set TCP socket receive timeout; reason: ");
    SetOption(socket_, SOL_SOCKET, SO_SNDTIMEO, time, *logger_,
              "Failed to set TCP socket send timeout; reason: ");
    const int keepAlive = keepAlive_ ? 1 : 0;
    SetOption(socket_, SOL_SOCKET, SO_KEEPALIVE, keepAlive, *logger_,
              "Failed to set TCP socket keep-alive; reason: ");
}

void AsyncTCPSocket::ConnectEndpoint(const ResolvedEndpoint& endpoint, Callback callback) {
    if (!IsNetworkAvailable()) {
        callback(kNetworkUnavailable);
        return;
    }
    const boost::asio::ip::tcp::endpoint target(endpoint.address, endpoint.port);
    const std::string text = AddressText(endpoint.address, endpoint.port);
    if (!socket_.is_open()) {
        logger_->debug("Opening socket to %s", text.c_str());
        OpenSocket(target.protocol());
    }
    logger_->debug("Connecting to %s", text.c_str());
    Arm(controlDeadline_, "connect");
    socket_.async_connect(target, [self = shared_from_this(), text, callback](
                                      const boost::system::error_code& error) {
        self->Disarm(self->controlDeadline_);
        if (error) {
            const std::string reason = self->timedOut_ ? self->TimeoutText() : DescribeError(error);
            self->logger_->error("TCP connection failed when connecting to <%s>; reason: %s",
                                 text.c_str(), reason.c_str());
            // The next attempt starts on a fresh socket of its own family.
            boost::system::error_code ignored;
            self->socket_.close(ignored);
            callback(kConnectFailed);
            return;
        }
        if (!self->ForgetWriteInterest()) {
            callback(kConnectFailed);
            return;
        }
        if (self->connectivity_) {
            self->connectivity_->NotifyConnected();
        }
        self->connected_ = true;
        callback(kSuccess);
    });
}

bool AsyncTCPSocket::ForgetWriteInterest() {
    // Waiting for the connect left the event loop watching the socket for
    // room to write, edge-triggered and for good: every acknowledgement of
    // sent bytes would then wake the loop for nothing, a wake-up per request
    // and response. Handed back and taken again, the socket is watched for
    // reading only, until a write has to wait. A read or write already
    // started keeps the socket as it is: handing it back would cancel it.
    if (reading_ || writing_) {
        return true;
    }
    boost::system::error_code error;
    const auto protocol = socket_.local_endpoint(error).protocol();
    if (error) {
        return true;
    }
    const auto handle = socket_.release(error);
    if (error) {
        return true;
    }
    socket_.assign(protocol, handle, error);
    if (error) {
        logger_->error("Failed to take the connected socket back; reason: %s",
                       DescribeError(error).c_str());
        ::close(handle);
        return false;
    }
    return true;
}

void AsyncTCPSocket::AsyncHandshake(const std::string& host, Callback callback) {
    if (!IsNetworkAvailable()) {
        callback(kNetworkUnavailable);
        return;
    }
    // The trust is read by the first handshake of the context, not before.
    sslContext_->LoadTrust();
    tlsStream_ = std::make_unique<TLSStream>(PrefixedTCPStream(socket_, std::move(tunnelInput_)),
                                             sslContext_->Get());
    tunnelInput_ = {};
    boost::system::error_code error;
    tlsStream_->set_verify_callback(
        polymorphic_verifier<ICertificateVerifier>(std::make_shared<CertificateVerifier>(host)),
        error);
    if (error) {
        throw std::system_error(error, "set_verify_callback");
    }
    SSL_set_tlsext_host_name(tlsStream_->native_handle(), host.c_str());
    logger_->debug("Starting SSL handshake");
    Arm(controlDeadline_, "SSL handshake");
    tlsStream_->async_handshake(
        boost::asio::ssl::stream_base::client,
        [self = shared_from_this(), callback](const boost::system::error_code& error) {
            self->Disarm(self->controlDeadline_);
            if (!error) {
                self->logger_->debug("SSL handshake done");
                if (self->connectivity_) {
                    self->connectivity_->NotifyConnected();
                }
                self->secure_ = true;
                callback(kSuccess);
                return;
            }
            const std::string reason = self->timedOut_ ? self->TimeoutText() : DescribeError(error);
            boost::system::error_code noPeer;
            const auto remote = self->socket_.remote_endpoint(noPeer);
            if (!noPeer) {
                self->logger_->error("SSL handshake failed when connecting to <%s>; reason: %s",
                                     AddressText(remote.address(), remote.port()).c_str(),
                                     reason.c_str());
            } else {
                self->logger_->error(
                    "SSL handshake failed when connecting to remote endpoint; reason: %s",
                    reason.c_str());
            }
            self->AsyncClose([callback](ErrorCode code) {
                callback(code != kSuccess ? code : kHandshakeFailed);
            });
        });
}

bool AsyncTCPSocket::SendsLater(const WriteEntry& a, const WriteEntry& b) {
    if (a.priority != b.priority) {
        return !a.priority;
    }
    return a.sequence > b.sequence;
}

void AsyncTCPSocket::AsyncWrite(CBYTESubBuffer buffer, WriteCallback callback) {
    AsyncWrite(std::move(buffer), true, std::move(callback));
}

void AsyncTCPSocket::AsyncWrite(CBYTESubBuffer buffer, bool priority, WriteCallback callback) {
    if (!IsNetworkAvailable()) {
        callback(kNetworkUnavailable, 0);
        return;
    }
    if (!writing_) {
        StartWrite(std::move(buffer), std::move(callback));
        return;
    }
    writeQueue_.push_back({std::move(buffer), std::move(callback), priority, ++writeSequence_});
    std::push_heap(writeQueue_.begin(), writeQueue_.end(), SendsLater);
}

void AsyncTCPSocket::StartWrite(CBYTESubBuffer buffer, WriteCallback callback) {
    if (!IsNetworkAvailable()) {
        callback(kNetworkUnavailable, 0);
        return;
    }
    if (buffer.size == 0) {
        callback(kSuccess, 0);
        return;
    }
    writing_ = true;
    Arm(writeDeadline_, "write");
    const auto bytes = boost::asio::buffer(buffer.Data(), buffer.size);
    auto done = [self = shared_from_this(), buffer, callback](const boost::system::error_code& error,
                                                              std::size_t written) {
        self->OnWriteComplete(error, written, buffer.size, callback);
    };
    if (secure_) {
        boost::asio::async_write(*tlsStream_, bytes, std::move(done));
    } else {
        boost::asio::async_write(socket_, bytes, std::move(done));
    }
}

void AsyncTCPSocket::OnWriteComplete(const boost::system::error_code& error, std::size_t bytes,
                                     std::uint64_t size, const WriteCallback& callback) {
    writing_ = false;
    Disarm(writeDeadline_);
    if (error == boost::asio::error::operation_aborted && !timedOut_) {
        logger_->debug("Connection closed.");
        callback(kClosed, bytes);
        CompleteQueued(kClosed);
    } else if (!error && bytes == size) {
        callback(kSuccess, bytes);
        SendQueued();
    } else {
        const auto reason = timedOut_ ? TimeoutText() : DescribeError(error);
        logger_->error("TCP write error; reason: %s", reason.c_str());
        callback(kWriteFailed, bytes);
        CompleteQueued(kWriteFailed);
    }
}

void AsyncTCPSocket::SendQueued() {
    // Empty buffers and writes refused for want of network complete at
    // once; the queue goes on behind them.
    while (!writing_ && !writeQueue_.empty()) {
        std::pop_heap(writeQueue_.begin(), writeQueue_.end(), SendsLater);
        WriteEntry entry = std::move(writeQueue_.back());
        writeQueue_.pop_back();
        AsyncWrite(std::move(entry.buffer), entry.priority, std::move(entry.callback));
    }
}

void AsyncTCPSocket::CompleteQueued(ErrorCode code) {
    std::vector<WriteEntry> queued;
    queued.swap(writeQueue_);
    while (!queued.empty()) {
        std::pop_heap(queued.begin(), queued.end(), SendsLater);
        auto callback = std::move(queued.back().callback);
        queued.pop_back();
        callback(code, 0);
    }
}

void AsyncTCPSocket::AsyncRead(std::uint64_t size, ReadCallback callback) {
    if (size == 0) {
        callback(kSuccess, CBYTESubBuffer());
        return;
    }
    if (!IsNetworkAvailable()) {
        callback(kNetworkUnavailable, CBYTESubBuffer());
        return;
    }
    reading_ = true;
    auto buffer = std::make_shared<ByteBuffer>(size);
    // Bytes of the tunnel that came with the proxy's answer are read first.
    const std::size_t early = static_cast<std::size_t>(
        secure_ ? 0 : std::min<std::uint64_t>(size, tunnelInput_.size()));
    if (early > 0) {
        std::memcpy(buffer->data(), tunnelInput_.data(), early);
        tunnelInput_ = early == tunnelInput_.size()
                           ? ByteBuffer()
                           : ByteBuffer(tunnelInput_.data() + early, tunnelInput_.size() - early);
    }
    if (early == size) {
        boost::asio::post(socket_.get_executor(), [self = shared_from_this(), buffer, callback] {
            self->OnReadComplete({}, buffer->size(), buffer, callback);
        });
        return;
    }
    Arm(readDeadline_, "read");
    const auto bytes = boost::asio::buffer(buffer->data() + early, size - early);
    auto done = [self = shared_from_this(), buffer, callback, early](
                    const boost::system::error_code& error, std::size_t read) {
        self->OnReadComplete(error, early + read, buffer, callback);
    };
    if (secure_) {
        boost::asio::async_read(*tlsStream_, bytes, std::move(done));
    } else {
        boost::asio::async_read(socket_, bytes, std::move(done));
    }
}

ByteBuffer AsyncTCPSocket::TakeTunnelInput() {
    return std::move(tunnelInput_);
}

bool AsyncTCPSocket::HasInputOrEnded() {
    if (!tunnelInput_.empty() || (secure_ && tlsStream_ && TLSHoldsInput())) {
        return true;
    }
    char byte = 0;
    ssize_t peeked = 0;
    do {
        peeked = ::recv(socket_.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (peeked < 0 && errno == EINTR);
    // Bytes, the end of the stream, or an error such as a reset.
    return peeked >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

bool AsyncTCPSocket::TLSHoldsInput() {
    // OpenSSL's records read but not handed over, and the bytes the stream
    // took from the socket that OpenSSL has not read (in the stream's own
    // buffer or the BIO between them): a record that came in one read with
    // the last one handed over waits there, out of sight of the socket.
    SSL* ssl = tlsStream_->native_handle();
    return SSL_has_pending(ssl) == 1 ||
           tlsStream_->next_layer().Delivered() != BIO_number_read(SSL_get_rbio(ssl));
}

void AsyncTCPSocket::OnReadComplete(const boost::system::error_code& error, std::size_t bytes,
                                    const std::shared_ptr<ByteBuffer>& buffer,
                                    const ReadCallback& callback) {
    reading_ = false;
    Disarm(readDeadline_);
    if (error == boost::asio::error::operation_aborted && closeRequested_) {
        logger_->debug("Connection closed.");
        closeRequested_ = false;
        // The read ends first, then the close it held back, plain or TLS.
        callback(kClosed, CBYTESubBuffer());
        ShutdownAndClose([self = shared_from_this()](ErrorCode code) {
            if (auto pending = std::move(self->pendingClose_)) {
                self->pendingClose_ = nullptr;
                pending(code);
            }
        });
    } else if (!error && bytes == buffer->size()) {
        if (connectivity_) {
            connectivity_->NotifyConnected();
        }
        callback(kSuccess, CBYTESubBuffer(buffer));
    } else {
        const auto reason = timedOut_ ? TimeoutText() : DescribeError(error);
        logger_->error("TCP read error; reason: %s", reason.c_str());
        callback(kReadFailed, CBYTESubBuffer());
    }
}

void AsyncTCPSocket::AsyncClose(Callback callback) {
    closeConnection_.disconnect();
    logger_->debug("Canceling pending handlers on TCP socket.");
    boost::system::error_code ignored;
    if (reading_) {
        pendingClose_ = std::move(callback);
        closeRequested_ = true;
        if (socket_.is_open()) {
            socket_.cancel(ignored);
        }
        return;
    }
    if (socket_.is_open()) {
        socket_.cancel(ignored);
    }
    ShutdownAndClose([callback](ErrorCode code) {
        if (callback) {
            callback(code);
        }
    });
}

void AsyncTCPSocket::ShutdownAndClose(Callback done) {
    if (!secure_) {
        CloseSocket();
        done(kSuccess);
        return;
    }
    // An unanswered shutdown ends with the deadline, which closes the socket
    // under it.
    Arm(controlDeadline_, "SSL shutdown");
    tlsStream_->async_shutdown(
        [self = shared_from_this(), done](const boost::system::error_code&) {
            self->Disarm(self->controlDeadline_);
            self->CloseSocket();
            done(kSuccess);
        });
}

void AsyncTCPSocket::CloseSocket() {
    logger_->debug("Shutting down TCP socket.");
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    tunnelInput_ = {};
    connected_ = false;
    secure_ = false;
}

void AsyncTCPSocket::Arm(Deadline& deadline, const char* step) {
    const auto generation = ++deadline.generation;
    deadline.timer.expires_after(std::chrono::milliseconds(timeout_));
    deadline.timer.async_wait([weak = weak_from_this(), &deadline, generation,
                               step](const boost::system::error_code& error) {
        auto self = weak.lock();
        if (!self || error || deadline.generation != generation) {
            return;
        }
        self->logger_->warn("The %s did not complete within %llu ms", step,
                            static_cast<unsigned long long>(self->timeout_));
        self->timedOut_ = true;
        boost::system::error_code ignored;
        if (&deadline == &self->controlDeadline_ && self->secure_) {
            // A TLS shutdown waits for the peer: only closing ends it.
            self->socket_.close(ignored);
        } else {
            self->socket_.cancel(ignored);
        }
    });
}

void AsyncTCPSocket::Disarm(Deadline& deadline) {
    ++deadline.generation;
    deadline.timer.cancel();
}

std::string AsyncTCPSocket::TimeoutText() const {
    return DescribeError(boost::asio::error::timed_out);
}

}  // namespace network
