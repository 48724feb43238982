#include "network/AsyncWebSocket.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <array>
#include <optional>

#include <boost/asio/post.hpp>

#include "IProxyAuthenticator.h"
#include "network/AsyncHTTPConnection.h"
#include "network/AsyncHTTPRequest.h"
#include "network/Random.h"

namespace network {

namespace {

// What one read asks for at most into the read buffer.
constexpr std::size_t kReadSize = 64 * 1024;
// A message's first read while large messages come: its head, and as much
// of its payload as is worth a copy (the size Beast reads a head with).
constexpr std::size_t kHeadReadSize = 4096;
// A message this large makes the next one's first read a head read.
constexpr std::size_t kLargeMessage = 4 * kHeadReadSize;
// Reads made at once within one turn of the event loop, before the loop
// gets its turn back.
constexpr int kReadsPerTurn = 16;

using Payload = core::NonInitializingBuffer<unsigned char>;

}  // namespace

AsyncWebSocket::AsyncWebSocket(std::shared_ptr<AsyncService> service,
                               std::shared_ptr<AsyncSSLContext> sslContext,
                               std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                               std::shared_ptr<INetworkConnectivity> connectivity)
    : socket_(std::make_shared<AsyncTCPSocket>(service, std::move(sslContext),
                                               std::move(proxyAuthenticator), connectivity)),
      connectivity_(std::move(connectivity)),
      logger_(common::createLogger("AsyncWebSocket")),
      closeDeadline_(service->GetIOContext()) {}

AsyncWebSocket::~AsyncWebSocket() = default;

template <typename Done>
void AsyncWebSocket::Complete(Done&& done) {
    if (callDepth_ == 0) {
        done();
        return;
    }
    boost::asio::post(socket_->GetTCPStream().get_executor(),
                      [self = sharedFromThis<AsyncWebSocket>(), done = std::forward<Done>(done)]() mutable {
                          done();
                      });
}

void AsyncWebSocket::Connect(const std::string& url, HTTPCallback&& callback) {
    Connect(url, {}, std::move(callback));
}

void AsyncWebSocket::Connect(const std::string& text, std::map<std::string, std::string>&& headers,
                             HTTPCallback&& callback) {
    CallScope scope(*this);
    URL url;
    if (!ParseURL(WithLowerCaseScheme(text), url) || !url.HasValidPort()) {
        logger_->error("Refusing web socket connection: <%s> is not a valid URL", text.c_str());
        Complete([callback = std::move(callback)] { callback(httpstatus::kNotSent, nullptr); });
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
                self->Complete([callback = std::move(callback)] {
                    callback(httpstatus::kProxyAuthenticationRequired, nullptr);
                });
            } else {
                self->logger_->error("Connection failed while negotiating web socket connection");
                self->Complete([callback = std::move(callback)] { callback(httpstatus::kConnectFailed, nullptr); });
            }
        });
}

void AsyncWebSocket::Negotiate(const URL& url, std::map<std::string, std::string>&& headers,
                               HTTPCallback&& callback) {
    std::optional<WebSocketHandshake> made;
    try {
        made.emplace();
    } catch (const std::exception& error) {
        logger_->error("No key for the web socket handshake: %s", error.what());
        Complete([callback = std::move(callback)] { callback(httpstatus::kNotSent, nullptr); });
        return;
    }
    auto request = std::make_shared<AsyncHTTPRequest>();
    request->SetMethod("GET");
    made->AddHeaders(*request, headers);
    // The upgrade is answered where it was asked: a redirect is the caller's.
    request->redirectsLeft = 0;
    auto connection = AsyncHTTPConnection::Create(socket_, false);
    // The body of an answer that refuses the upgrade is read and dropped as
    // it comes, however large: the caller gets at most its start.
    connection->SetBodySink({}, AsyncHTTPConnection::kSinkPieceSize,
                            [](std::uint32_t) { return AsyncHTTPConnection::BodyUse::Dropped; });
    connection->SubmitRequest(
        url.ToString(), std::move(request),
        [self = sharedFromThis<AsyncWebSocket>(), connection, handshake = std::move(*made),
         callback = std::move(callback)](HTTPStatusCode status, std::unique_ptr<IHTTPResponse> response) {
            if (status == 101 && response) {
                self->buffer_ = connection->TakeUpgradeBytes();
                self->bufferBegin_ = 0;
                self->bufferEnd_ = self->buffer_.size();
            }
            self->OnUpgraded(handshake, status, std::move(response), callback);
        });
}

void AsyncWebSocket::OnUpgraded(const WebSocketHandshake& handshake, HTTPStatusCode status,
                                std::unique_ptr<IHTTPResponse> response, const HTTPCallback& callback) {
    if (status != 101 || !response) {
        logger_->error("Unexpected HTTP status code %u while negotiating web socket connection",
                       static_cast<unsigned>(status));
        Complete([callback, status, response = std::move(response)]() mutable {
            callback(status, std::move(response));
        });
        return;
    }
    if (const auto refusal = handshake.Check(*response); !refusal.empty()) {
        logger_->error("%s", refusal.c_str());
        upgradeRefusal_ = refusal;
        // The socket is not a web socket's: nothing more goes over it.
        bufferBegin_ = bufferEnd_;
        CloseSocket([] {});
        Complete([callback, response = std::move(response)]() mutable { callback(400, std::move(response)); });
        return;
    }
    open_ = true;
    Complete([callback, response = std::move(response)]() mutable { callback(101, std::move(response)); });
}

void AsyncWebSocket::Send(Payload&& payload, SendCallback&& callback) {
    Send(WebSocketOperationCode::Binary, std::move(payload), std::move(callback));
}

void AsyncWebSocket::Send(WebSocketOperationCode opcode, Payload&& payload, SendCallback&& callback) {
    CallScope scope(*this);
    WriteFrame(opcode, std::move(payload), std::move(callback));
}

bool AsyncWebSocket::WriteFrame(WebSocketOperationCode opcode, Payload&& payload, SendCallback&& callback) {
    WebSocketMaskingKey key;
    try {
        // Keys are drawn from the secure source a batch at a time.
        if (keysUsed_ + key.size() > maskingKeys_.size()) {
            MakeRandomBytes(maskingKeys_.data(), maskingKeys_.size(), 0);
            keysUsed_ = 0;
        }
    } catch (const std::exception& error) {
        logger_->error("No masking key for a web socket frame: %s", error.what());
        Complete([callback = std::move(callback)] { callback(ITCPSocket::kWriteFailed); });
        return false;
    }
    std::copy_n(maskingKeys_.begin() + keysUsed_, key.size(), key.begin());
    keysUsed_ += key.size();
    if (opcode == WebSocketOperationCode::Close) {
        open_ = false;
        closeSent_ = true;
    }
    const bool networkAvailable = !connectivity_ || connectivity_->IsNetworkAvailable();
    if (socket_->IsSecure() || queuedWrites_ > 0 || !socket_->IsConnected() || !networkAvailable) {
        WriteQueued(CBYTESubBuffer(MakeWebSocketFrame(opcode, payload.data(), payload.size(), key)),
                    std::move(callback));
        OfferSpent(std::move(payload));
        return queuedWrites_ > 0;
    }
    // A plain socket takes the frame at once, head and payload (masked where
    // it lies) in one system call, unless its buffer is full: no copy, no
    // write deadline, and only the callback to run: at the end of the
    // handler when sent from within one (a send answering a message costs no
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
    if (written == headSize + payload.size()) {
        OfferSpent(std::move(payload));
        if (inHandler_) {
            writtenInHandler_.push_back(std::move(callback));
        } else {
            boost::asio::post(socket_->GetTCPStream().get_executor(),
                              [self = sharedFromThis<AsyncWebSocket>(), callback = std::move(callback)] {
                                  callback(ITCPSocket::kSuccess);
                              });
        }
        return false;
    }
    // The rest waits in the socket's queue, which also reports a failure:
    // the payload from where the socket stopped, unless the head itself was
    // cut (then the rest is copied behind what is left of it).
    if (written >= headSize) {
        const std::uint64_t from = written - headSize;
        const std::uint64_t size = payload.size() - from;
        WriteQueued(CBYTESubBuffer(std::make_shared<ByteBuffer>(std::move(payload)), from, size),
                    std::move(callback));
        return queuedWrites_ > 0;
    }
    Payload rest(headSize - written + payload.size());
    std::copy_n(head + written, headSize - written, rest.data());
    std::copy_n(payload.data(), payload.size(), rest.data() + (headSize - written));
    WriteQueued(CBYTESubBuffer(std::move(rest)), std::move(callback));
    return queuedWrites_ > 0;
}

void AsyncWebSocket::OfferSpent(Payload&& payload) {
    // A large payload's storage, its pages already the process's, takes the
    // next message of about its size: a request answered in kind costs no
    // fresh memory.
    if (payload.capacity() >= kReadSize && payload.capacity() <= reader_.MessageLimit()) {
        reader_.OfferStorage(std::move(payload));
    }
}

void AsyncWebSocket::WriteQueued(CBYTESubBuffer&& frame, SendCallback&& callback) {
    ++queuedWrites_;
    socket_->AsyncWrite(std::move(frame),
                        [self = sharedFromThis<AsyncWebSocket>(), callback = std::move(callback)](
                            ITCPSocket::ErrorCode code, std::uint64_t) mutable {
                            --self->queuedWrites_;
                            self->Complete([callback = std::move(callback), code] { callback(code); });
                        });
}

void AsyncWebSocket::Receive(ReceiveCallback&& callback) {
    CallScope scope(*this);
    if (receiveCallback_) {
        logger_->error("Refusing a web socket Receive while another one is pending");
        Complete([callback = std::move(callback)] { callback(kReceivePending, {}); });
        return;
    }
    receiveCallback_ = std::move(callback);
    if (pumping_ || pumpPosted_ || readPending_ || waitingForPong_ || ending_) {
        // What is under way takes the callback up.
        return;
    }
    if (bufferBegin_ < bufferEnd_ || socketClosed_) {
        PostPump();
        return;
    }
    ReadMore();
}

void AsyncWebSocket::PostPump() {
    pumpPosted_ = true;
    boost::asio::post(socket_->GetTCPStream().get_executor(), [self = sharedFromThis<AsyncWebSocket>()] {
        self->pumpPosted_ = false;
        self->Pump();
    });
}

void AsyncWebSocket::Pump() {
    pumping_ = true;
    inHandler_ = true;
    int readsAtOnce = 0;
    // Every frame already read is handled in this loop: a burst of them
    // must not deepen the stack.
    while (receiveCallback_ && !ending_ && !waitingForPong_) {
        auto result = WebSocketFrameReader::Result::NeedMore;
        if (readResult_) {
            // What the payload read straight into the message completed.
            result = *readResult_;
            readResult_.reset();
        } else if (bufferBegin_ == bufferEnd_) {
            if (socketClosed_) {
                // The end is told once per turn of the event loop.
                EndReceive(ITCPSocket::kClosed);
                break;
            }
            if (readsAtOnce < kReadsPerTurn && ReadNow()) {
                ++readsAtOnce;
                continue;
            }
            ReadMore();
            break;
        } else {
            std::size_t consumed = 0;
            result = reader_.Feed(buffer_.data() + bufferBegin_, bufferEnd_ - bufferBegin_, consumed);
            bufferBegin_ += consumed;
        }
        switch (result) {
        case WebSocketFrameReader::Result::NeedMore:
            break;
        case WebSocketFrameReader::Result::Message: {
            auto callback = std::move(receiveCallback_);
            receiveCallback_ = nullptr;
            auto payload = reader_.TakePayload();
            expectLarge_ = payload.size() >= kLargeMessage;
            callback(ITCPSocket::kSuccess, std::move(payload));
            break;
        }
        case WebSocketFrameReader::Result::Control:
            OnControl(reader_.Opcode(), reader_.TakePayload());
            break;
        case WebSocketFrameReader::Result::Error:
            logger_->error("Failing the web socket connection with code %u: %s",
                           static_cast<unsigned>(reader_.CloseCode()), reader_.ErrorText().c_str());
            Fail(reader_.CloseCode());
            break;
        }
    }
    pumping_ = false;
    // Once the loop has run, the socket may hold bytes whose wake-up it took.
    drained_ = false;
    if (receiveCallback_ && socketClosed_ && !ending_ && !pumpPosted_ && bufferBegin_ == bufferEnd_) {
        // A Receive made after the end was told.
        PostPump();
    }
    ReportWritten();
}

void AsyncWebSocket::ReportWritten() {
    inHandler_ = false;
    if (writtenInHandler_.empty()) {
        return;
    }
    // Swapped with a vector kept for the purpose: no allocation per turn.
    reporting_.swap(writtenInHandler_);
    for (auto& done : reporting_) {
        done(ITCPSocket::kSuccess);
    }
    reporting_.clear();
}

std::array<boost::asio::mutable_buffer, 2> AsyncWebSocket::ReadTarget() {
    // The rest of a data frame's payload goes straight into the message's
    // storage, sized by the frame's length, and what follows it into the
    // read buffer; heads and small frames go into the read buffer, from which
    // the reader copies them. While large messages come, a message's first
    // read takes its head and a little more only: the rest lands in place.
    bufferBegin_ = bufferEnd_ = 0;
    if (buffer_.size() < kReadSize) {
        buffer_ = Payload(kReadSize);
    }
    const auto [room, left] = reader_.PayloadRoom();
    directRead_ = left;
    const bool headOnly = left == 0 && expectLarge_ && reader_.AtFrameStart();
    const std::size_t buffered = headOnly ? kHeadReadSize : buffer_.size();
    return {boost::asio::buffer(room, left), boost::asio::buffer(buffer_.data(), buffered)};
}

bool AsyncWebSocket::ReadNow() {
    // A plain socket is read at once when it may hold bytes: no turn of the
    // event loop for what has already arrived.
    if (socket_->IsSecure() || drained_ || readPending_) {
        return false;
    }
    const auto into = ReadTarget();
    iovec parts[2] = {{into[0].data(), into[0].size()}, {into[1].data(), into[1].size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    ssize_t got = 0;
    do {
        got = ::recvmsg(socket_->GetTCPStream().native_handle(), &message, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        // Nothing yet: the event loop tells when there is. The end of the
        // stream and errors come through the socket's own read.
        drained_ = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        return false;
    }
    // A short read leaves the socket empty.
    drained_ = static_cast<std::size_t>(got) < into[0].size() + into[1].size();
    TakeRead(static_cast<std::size_t>(got));
    return true;
}

void AsyncWebSocket::ReadMore() {
    // The read waits as long as the peer is quiet: a web socket may idle for
    // good.
    if (readPending_) {
        return;
    }
    readPending_ = true;
    auto self = sharedFromThis<AsyncWebSocket>();
    if (socket_->IsSecure()) {
        socket_->GetTLSStream().async_read_some(
            ReadTarget(), [self](const boost::system::error_code& error, std::size_t bytes) {
                self->OnReadSome(error, bytes);
            });
        return;
    }
    if (drained_) {
        // Known empty: the event loop's word that bytes came, then ReadNow.
        socket_->GetTCPStream().async_wait(boost::asio::socket_base::wait_read,
                                           [self](const boost::system::error_code& error) {
                                               self->OnReadSome(error, std::size_t{0} - 1);
                                           });
        return;
    }
    socket_->GetTCPStream().async_read_some(
        ReadTarget(), [self](const boost::system::error_code& error, std::size_t bytes) {
            self->OnReadSome(error, bytes);
        });
}

void AsyncWebSocket::OnReadSome(const boost::system::error_code& error, std::size_t bytes) {
    readPending_ = false;
    if (auto close = std::move(closeAfterRead_)) {
        closeAfterRead_ = nullptr;
        close();
    }
    if (error || bytes == 0) {
        if (closeSent_ || socketClosed_) {
            // The closing handshake ends here, answered or not.
            ending_ = true;
            CloseSocket([self = sharedFromThis<AsyncWebSocket>()] {
                self->ending_ = false;
                self->EndReceive(ITCPSocket::kClosed);
            });
            return;
        }
        logger_->error("Web socket read error; reason: %s", AsyncTCPSocket::DescribeError(error).c_str());
        EndReceive(ITCPSocket::kReadFailed);
        return;
    }
    if (bytes == std::size_t{0} - 1) {
        // The socket became readable: the pump reads it.
        drained_ = false;
    } else {
        TakeRead(bytes);
    }
    Pump();
}

void AsyncWebSocket::TakeRead(std::size_t bytes) {
    const std::size_t direct = std::min(bytes, directRead_);
    directRead_ = 0;
    if (direct > 0) {
        const auto result = reader_.PayloadWritten(direct);
        if (result != WebSocketFrameReader::Result::NeedMore) {
            readResult_ = result;
        }
    }
    bufferEnd_ = bytes - direct;
}

void AsyncWebSocket::EndReceive(ITCPSocket::ErrorCode code) {
    if (!receiveCallback_) {
        return;
    }
    auto callback = std::move(receiveCallback_);
    receiveCallback_ = nullptr;
    callback(code, {});
}

void AsyncWebSocket::OnControl(WebSocketOperationCode opcode, Payload&& payload) {
    auto self = sharedFromThis<AsyncWebSocket>();
    switch (opcode) {
    case WebSocketOperationCode::Ping:
        // The next frame is read once the pong is out: a peer that pings
        // without reading cannot grow the write queue.
        waitingForPong_ = true;
        if (!WriteFrame(WebSocketOperationCode::Pong, std::move(payload), [self](ITCPSocket::ErrorCode) {
                if (self->waitingForPong_) {
                    self->waitingForPong_ = false;
                    self->PostPump();
                }
            })) {
            waitingForPong_ = false;
        }
        return;
    case WebSocketOperationCode::Close: {
        closeCode_ = payload.size() >= 2 ? static_cast<std::uint16_t>(payload[0] << 8 | payload[1]) : 1005;
        // Nothing after a Close frame counts.
        bufferBegin_ = bufferEnd_;
        ending_ = true;
        auto end = [self] {
            self->ending_ = false;
            self->EndReceive(ITCPSocket::kClosed);
        };
        if (open_) {
            // The peer's code and reason go back as they came.
            WriteFrame(WebSocketOperationCode::Close, std::move(payload),
                       [self, end](ITCPSocket::ErrorCode) { self->CloseSocket(end); });
        } else {
            CloseSocket(end);
        }
        return;
    }
    default:
        return;
    }
}

void AsyncWebSocket::Fail(std::uint16_t code) {
    closeCode_ = code;
    bufferBegin_ = bufferEnd_;
    ending_ = true;
    auto done = [self = sharedFromThis<AsyncWebSocket>()](ITCPSocket::ErrorCode) {
        self->CloseSocket([self] {
            self->ending_ = false;
            self->EndReceive(ITCPSocket::kReadFailed);
        });
    };
    if (closeSent_) {
        done(ITCPSocket::kSuccess);
        return;
    }
    const unsigned char status[2] = {static_cast<unsigned char>(code >> 8),
                                     static_cast<unsigned char>(code & 0xFF)};
    WriteFrame(WebSocketOperationCode::Close, Payload(status, sizeof status), std::move(done));
}

void AsyncWebSocket::Close(std::function<void()>&& callback) {
    CallScope scope(*this);
    if (closeSent_ || socketClosed_) {
        // One Close frame per connection.
        Complete([callback = std::move(callback)] { callback(); });
        return;
    }
    WriteFrame(WebSocketOperationCode::Close, {},
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
