#include "network/AsyncWebSocket.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>

#include <boost/asio/post.hpp>

#include "IProxyAuthenticator.h"
#include "network/AsyncHTTPConnection.h"
#include "network/AsyncHTTPRequest.h"
#include "network/Base64.h"
#include "network/Random.h"
#include "network/SHA1Hasher.h"

namespace network {

namespace {

// RFC 6455 section 1.3: appended to the key before hashing it.
// What one read asks for at most.
constexpr std::size_t kReadSize = 64 * 1024;

constexpr char kAcceptGUID[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

using Payload = core::NonInitializingBuffer<unsigned char>;

// The key of the opening handshake: the 16 bytes of a random version-4 UUID,
// in base64.
std::string MakeHandshakeKey() {
    unsigned char uuid[16];
    MakeRandomBytes(uuid, sizeof uuid, 0);
    uuid[6] = static_cast<unsigned char>((uuid[6] & 0x0F) | 0x40);
    uuid[8] = static_cast<unsigned char>((uuid[8] & 0x3F) | 0x80);
    return Base64Encode(uuid, sizeof uuid);
}

std::string AcceptValueFor(const std::string& key) {
    SHA1Hasher hasher;
    const std::string text = key + kAcceptGUID;
    hasher.Update(text.data(), text.size());
    return Base64Encode(hasher.Final());
}

}  // namespace

AsyncWebSocket::AsyncWebSocket(std::shared_ptr<AsyncService> service,
                               std::shared_ptr<AsyncSSLContext> sslContext,
                               std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                               std::shared_ptr<INetworkConnectivity> connectivity)
    : socket_(std::make_shared<AsyncTCPSocket>(service, std::move(sslContext),
                                               std::move(proxyAuthenticator), connectivity)),
      connectivity_(std::move(connectivity)),
      logger_(common::createLogger("AsyncWebSocket")),
      closeDeadline_(service->GetIOContext()),
      readDeadline_(service->GetIOContext()) {}

AsyncWebSocket::~AsyncWebSocket() = default;

void AsyncWebSocket::Connect(const std::string& url, HTTPCallback&& callback) {
    Connect(url, {}, std::move(callback));
}

void AsyncWebSocket::Connect(const std::string& text, std::map<std::string, std::string>&& headers,
                             HTTPCallback&& callback) {
    URL url;
    if (!ParseURL(text, url) || !url.HasValidPort()) {
        logger_->error("Refusing web socket connection: <%s> is not a valid URL", text.c_str());
        callback(httpstatus::kNotSent, nullptr);
        return;
    }
    url.ToLower();
    url.SetDefaultPort();
    const bool tls = url.scheme == "https" || url.scheme == "wss";
    const auto& proxy = socket_->GetProxyAuthenticator();
    const std::string proxyHost = proxy ? proxy->getHost() : "";
    const std::uint16_t proxyPort = proxy ? proxy->getPort() : 0;
    socket_->AsyncConnect(
        url.host, static_cast<std::uint16_t>(url.port), tls, proxyHost, proxyPort,
        [self = sharedFromThis<AsyncWebSocket>(), url, headers = std::move(headers),
         callback = std::move(callback), proxyHost, proxyPort](ITCPSocket::ErrorCode code) mutable {
            if (code == ITCPSocket::kSuccess) {
                self->Negotiate(url, std::move(headers), std::move(callback));
            } else if (code == ITCPSocket::kProxyAuthenticationRequired) {
                self->logger_->debug("Authentication required when connecting to web socket proxy <%s:%u>",
                                     proxyHost.c_str(), static_cast<unsigned>(proxyPort));
                callback(httpstatus::kProxyAuthenticationRequired, nullptr);
            } else {
                self->logger_->error("Connection failed while negotiating web socket connection");
                callback(httpstatus::kConnectFailed, nullptr);
            }
        });
}

void AsyncWebSocket::Negotiate(const URL& url, std::map<std::string, std::string>&& headers,
                               HTTPCallback&& callback) {
    std::string key;
    try {
        key = MakeHandshakeKey();
    } catch (const std::exception& error) {
        logger_->error("No key for the web socket handshake: %s", error.what());
        callback(httpstatus::kNotSent, nullptr);
        return;
    }
    auto request = std::make_shared<AsyncHTTPRequest>();
    request->SetMethod("GET");
    request->AddHeader("Cache-Control", "no-cache");
    request->AddHeader("Pragma", "no-cache");
    request->AddHeader("Upgrade", "websocket");
    request->AddHeader("Connection", "upgrade");
    request->AddHeader("Sec-WebSocket-Key", key);
    request->AddHeader("Sec-WebSocket-Version", "13");
    for (const auto& [name, value] : headers) {
        request->AddHeader(name, value);
    }
    // The upgrade is answered where it was asked: a redirect is the caller's.
    request->redirectsLeft = 0;
    auto connection = AsyncHTTPConnection::Create(socket_, false);
    connection->SubmitRequest(
        url.ToString(), std::move(request),
        [self = sharedFromThis<AsyncWebSocket>(), connection, accept = AcceptValueFor(key),
         callback = std::move(callback)](HTTPStatusCode status,
                                         std::unique_ptr<IHTTPResponse> response) {
            if (status == 101 && response) {
                self->buffer_ = connection->TakeUpgradeBytes();
                self->bufferBegin_ = 0;
                self->bufferEnd_ = self->buffer_.size();
            }
            self->OnUpgraded(accept, status, std::move(response), callback);
        });
}

void AsyncWebSocket::OnUpgraded(const std::string& expectedAccept, HTTPStatusCode status,
                                std::unique_ptr<IHTTPResponse> response,
                                const HTTPCallback& callback) {
    if (status != 101 || !response) {
        logger_->error("Unexpected HTTP status code %u while negotiating web socket connection",
                       static_cast<unsigned>(status));
        callback(status, std::move(response));
        return;
    }
    const std::string accept = response->GetHeader("Sec-WebSocket-Accept");
    if (accept.empty()) {
        logger_->error("Missing header 'Sec-WebSocket-Accept' while negotiating web socket connection");
        callback(400, std::move(response));
        return;
    }
    if (accept != expectedAccept) {
        logger_->error(
            "Invalid value for header 'Sec-WebSocket-Accept' while negotiating web socket connection");
        callback(400, std::move(response));
        return;
    }
    open_ = true;
    callback(101, std::move(response));
}

void AsyncWebSocket::Send(Payload&& payload, SendCallback&& callback) {
    Send(WebSocketOperationCode::Binary, std::move(payload), std::move(callback));
}

void AsyncWebSocket::Send(WebSocketOperationCode opcode, Payload&& payload, SendCallback&& callback) {
    WebSocketMaskingKey key;
    try {
        // Keys are drawn from the secure source a batch at a time.
        if (keysUsed_ + key.size() > maskingKeys_.size()) {
            MakeRandomBytes(maskingKeys_.data(), maskingKeys_.size(), 0);
            keysUsed_ = 0;
        }
    } catch (const std::exception& error) {
        logger_->error("No masking key for a web socket frame: %s", error.what());
        callback(ITCPSocket::kWriteFailed);
        return;
    }
    std::copy_n(maskingKeys_.begin() + keysUsed_, key.size(), key.begin());
    keysUsed_ += key.size();
    if (opcode == WebSocketOperationCode::Close) {
        open_ = false;
        closeSent_ = true;
    }
    const bool networkAvailable = !connectivity_ || connectivity_->IsNetworkAvailable();
    if (socket_->IsSecure() || queuedWrites_ > 0 || !socket_->IsConnected() || !networkAvailable) {
        WriteQueued(MakeWebSocketFrame(opcode, payload.data(), payload.size(), key), std::move(callback));
        return;
    }
    // A plain socket takes the frame at once, head and payload (masked where
    // it lies) in one system call, unless its buffer is full: no copy, no
    // write deadline, and only the callback to run: at the end of the read
    // handler when sent from within it (a send answering a message costs no
    // extra turn of the event loop), else as a handler of its own.
    unsigned char head[kWebSocketFrameHeadMax];
    const std::size_t headSize = WriteWebSocketFrameHead(head, opcode, payload.size(), key);
    MaskWebSocketPayload(payload.data(), payload.size(), key, 0);
    iovec parts[2] = {{head, headSize}, {payload.data(), payload.size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = payload.size() > 0 ? 2 : 1;
    ssize_t sent = 0;
    do {
        sent = ::sendmsg(socket_->GetTCPStream().native_handle(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    const std::size_t written = sent > 0 ? static_cast<std::size_t>(sent) : 0;
    if (written == headSize + payload.size() && inReadHandler_) {
        writtenInReadHandler_.push_back(std::move(callback));
        return;
    }
    if (written == headSize + payload.size()) {
        boost::asio::post(socket_->GetTCPStream().get_executor(),
                          [self = sharedFromThis<AsyncWebSocket>(), callback = std::move(callback)] {
                              callback(ITCPSocket::kSuccess);
                          });
        return;
    }
    // The rest waits in the socket's queue, which also reports a failure.
    Payload rest(headSize + payload.size() - written);
    const std::size_t headLeft = written < headSize ? headSize - written : 0;
    std::copy_n(head + (headSize - headLeft), headLeft, rest.data());
    std::copy_n(payload.data() + (written - (headSize - headLeft)), rest.size() - headLeft,
                rest.data() + headLeft);
    WriteQueued(std::move(rest), std::move(callback));
}

void AsyncWebSocket::WriteQueued(Payload&& frame, SendCallback&& callback) {
    ++queuedWrites_;
    socket_->AsyncWrite(CBYTESubBuffer(std::move(frame)),
                        [self = sharedFromThis<AsyncWebSocket>(), callback = std::move(callback)](
                            ITCPSocket::ErrorCode code, std::uint64_t) {
                            --self->queuedWrites_;
                            callback(code);
                        });
}

void AsyncWebSocket::Receive(ReceiveCallback&& callback) {
    ReceiveNext(std::move(callback));
}

void AsyncWebSocket::ReceiveNext(ReceiveCallback callback) {
    // Every frame already read is handled in this loop: a burst of them
    // must not deepen the stack.
    while (bufferBegin_ < bufferEnd_) {
        std::size_t consumed = 0;
        const auto result = reader_.Feed(buffer_.data() + bufferBegin_, bufferEnd_ - bufferBegin_, consumed);
        bufferBegin_ += consumed;
        if (result == WebSocketFrameReader::Result::NeedMore) {
            continue;
        }
        if (result == WebSocketFrameReader::Result::Control &&
            reader_.Opcode() == WebSocketOperationCode::Pong) {
            reader_.TakePayload();
            continue;
        }
        Dispatch(result, std::move(callback));
        return;
    }
    if (socketClosed_) {
        callback(ITCPSocket::kClosed, {});
        return;
    }
    ReadMore(std::move(callback));
}

void AsyncWebSocket::ReadMore(ReceiveCallback callback) {
    // One read takes whatever has arrived, frames and parts of frames alike.
    bufferBegin_ = bufferEnd_ = 0;
    if (buffer_.size() < kReadSize) {
        buffer_ = Payload(kReadSize);
    }
    readPending_ = true;
    readTimedOut_ = false;
    ArmReadDeadline();
    const auto into = boost::asio::buffer(buffer_.data(), buffer_.size());
    auto done = [self = sharedFromThis<AsyncWebSocket>(), callback = std::move(callback)](
                    const boost::system::error_code& error, std::size_t bytes) mutable {
        self->OnReadSome(error, bytes, std::move(callback));
    };
    if (socket_->IsSecure()) {
        socket_->GetTLSStream().async_read_some(into, std::move(done));
    } else {
        socket_->GetTCPStream().async_read_some(into, std::move(done));
    }
}

void AsyncWebSocket::OnReadSome(const boost::system::error_code& error, std::size_t bytes,
                                ReceiveCallback callback) {
    readPending_ = false;
    if (auto close = std::move(closeAfterRead_)) {
        closeAfterRead_ = nullptr;
        close();
    }
    if (error || bytes == 0) {
        if (closeSent_ || socketClosed_) {
            // The closing handshake ends here, answered or not.
            CloseSocket([callback] { callback(ITCPSocket::kClosed, {}); });
            return;
        }
        const auto reason = AsyncTCPSocket::DescribeError(readTimedOut_ ? boost::asio::error::timed_out : error);
        logger_->error("Web socket read error; reason: %s", reason.c_str());
        callback(ITCPSocket::kReadFailed, {});
        return;
    }
    bufferEnd_ = bytes;
    // Frames written at once from within the receive callbacks report when
    // those have returned, still inside this handler.
    inReadHandler_ = true;
    ReceiveNext(std::move(callback));
    inReadHandler_ = false;
    auto written = std::move(writtenInReadHandler_);
    writtenInReadHandler_.clear();
    for (auto& done : written) {
        done(ITCPSocket::kSuccess);
    }
}

void AsyncWebSocket::ArmReadDeadline() {
    // The timer is set once and each read only notes when it started: a
    // timer moved for every read would cost system calls on every message.
    readStarted_ = std::chrono::steady_clock::now();
    if (readDeadlineArmed_) {
        return;
    }
    readDeadlineArmed_ = true;
    WaitForReadDeadline(readStarted_ + std::chrono::milliseconds(socket_->GetTimeout()));
}

void AsyncWebSocket::WaitForReadDeadline(std::chrono::steady_clock::time_point deadline) {
    readDeadline_.expires_at(deadline);
    readDeadline_.async_wait([weak = weakFromThis<AsyncWebSocket>()](const boost::system::error_code& error) {
        auto self = weak.lock();
        if (error || !self) {
            return;
        }
        const auto due = self->readStarted_ + std::chrono::milliseconds(self->socket_->GetTimeout());
        if (self->readPending_ && std::chrono::steady_clock::now() < due) {
            self->WaitForReadDeadline(due);
            return;
        }
        self->readDeadlineArmed_ = false;
        if (self->readPending_) {
            self->logger_->warn("The web socket read did not complete within %llu ms",
                                static_cast<unsigned long long>(self->socket_->GetTimeout()));
            self->readTimedOut_ = true;
            boost::system::error_code ignored;
            self->socket_->GetTCPStream().cancel(ignored);
        }
    });
}

void AsyncWebSocket::Dispatch(WebSocketFrameReader::Result result, ReceiveCallback callback) {
    switch (result) {
    case WebSocketFrameReader::Result::NeedMore:
        ReceiveNext(std::move(callback));
        return;
    case WebSocketFrameReader::Result::Message:
        callback(ITCPSocket::kSuccess, reader_.TakePayload());
        return;
    case WebSocketFrameReader::Result::Control:
        OnControl(reader_.Opcode(), reader_.TakePayload(), std::move(callback));
        return;
    case WebSocketFrameReader::Result::Error:
        logger_->error("Failing the web socket connection with code %u: %s",
                       static_cast<unsigned>(reader_.CloseCode()), reader_.ErrorText().c_str());
        Fail(reader_.CloseCode(), std::move(callback));
        return;
    }
}

void AsyncWebSocket::OnControl(WebSocketOperationCode opcode, Payload&& payload,
                               ReceiveCallback callback) {
    auto self = sharedFromThis<AsyncWebSocket>();
    switch (opcode) {
    case WebSocketOperationCode::Ping:
        Send(WebSocketOperationCode::Pong, std::move(payload),
             [self, callback](ITCPSocket::ErrorCode) { self->ReceiveNext(callback); });
        return;
    case WebSocketOperationCode::Close:
        closeCode_ = payload.size() >= 2 ? static_cast<std::uint16_t>(payload[0] << 8 | payload[1]) : 1005;
        if (open_) {
            // The peer's code and reason go back as they came.
            Send(WebSocketOperationCode::Close, std::move(payload), [self, callback](ITCPSocket::ErrorCode) {
                self->CloseSocket([callback] { callback(ITCPSocket::kClosed, {}); });
            });
        } else {
            CloseSocket([callback] { callback(ITCPSocket::kClosed, {}); });
        }
        return;
    default:
        ReceiveNext(std::move(callback));
        return;
    }
}

void AsyncWebSocket::Fail(std::uint16_t code, ReceiveCallback callback) {
    auto done = [self = sharedFromThis<AsyncWebSocket>(), callback](ITCPSocket::ErrorCode) {
        self->CloseSocket([callback] { callback(ITCPSocket::kReadFailed, {}); });
    };
    closeCode_ = code;
    if (closeSent_) {
        done(ITCPSocket::kSuccess);
        return;
    }
    const unsigned char status[2] = {static_cast<unsigned char>(code >> 8),
                                     static_cast<unsigned char>(code & 0xFF)};
    Send(WebSocketOperationCode::Close, Payload(status, sizeof status), std::move(done));
}

void AsyncWebSocket::Close(std::function<void()>&& callback) {
    Send(WebSocketOperationCode::Close, {},
         [callback = std::move(callback)](ITCPSocket::ErrorCode) { callback(); });
    ArmCloseDeadline();
}

void AsyncWebSocket::CloseSocket(std::function<void()> done) {
    if (socketClosed_) {
        done();
        return;
    }
    socketClosed_ = true;
    closeDeadline_.cancel();
    auto close = [self = sharedFromThis<AsyncWebSocket>(), done = std::move(done)] {
        self->socket_->AsyncClose([self, done](ITCPSocket::ErrorCode) { done(); });
    };
    if (readPending_) {
        // The read ends first; the close (a TLS shutdown may read) follows.
        closeAfterRead_ = std::move(close);
        boost::system::error_code ignored;
        socket_->GetTCPStream().cancel(ignored);
        return;
    }
    close();
}

void AsyncWebSocket::ArmCloseDeadline() {
    if (socketClosed_) {
        return;
    }
    const auto timeout = socket_->GetTimeout();
    closeDeadline_.expires_after(std::chrono::milliseconds(timeout));
    closeDeadline_.async_wait([weak = weakFromThis<AsyncWebSocket>(), timeout](
                                  const boost::system::error_code& error) {
        auto self = weak.lock();
        if (error || !self || self->socketClosed_) {
            return;
        }
        self->logger_->warn("No Close frame from the server within %llu ms; closing the socket",
                            static_cast<unsigned long long>(timeout));
        self->CloseSocket([] {});
    });
}

}  // namespace network
