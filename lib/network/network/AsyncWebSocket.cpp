#include "network/AsyncWebSocket.h"

#include <chrono>
#include <exception>

#include "IProxyAuthenticator.h"
#include "network/AsyncHTTPConnection.h"
#include "network/AsyncHTTPRequest.h"
#include "network/Base64.h"
#include "network/Random.h"
#include "network/SHA1Hasher.h"

namespace network {

namespace {

// RFC 6455 section 1.3: appended to the key before hashing it.
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
                                               std::move(proxyAuthenticator), std::move(connectivity))),
      logger_(common::createLogger("AsyncWebSocket")),
      closeDeadline_(service->GetIOContext()) {}

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
                self->buffered_ = connection->TakeUpgradeBytes();
                self->bufferedOffset_ = 0;
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
        MakeRandomBytes(key.data(), key.size(), 0);
    } catch (const std::exception& error) {
        logger_->error("No masking key for a web socket frame: %s", error.what());
        callback(ITCPSocket::kWriteFailed);
        return;
    }
    auto frame = MakeWebSocketFrame(opcode, payload.data(), payload.size(), key);
    payload = {};
    if (opcode == WebSocketOperationCode::Close) {
        open_ = false;
        closeSent_ = true;
    }
    socket_->AsyncWrite(CBYTESubBuffer(std::move(frame)),
                        [self = sharedFromThis<AsyncWebSocket>(), callback = std::move(callback)](
                            ITCPSocket::ErrorCode code, std::uint64_t) { callback(code); });
}

void AsyncWebSocket::Receive(ReceiveCallback&& callback) {
    ReceiveNext(std::move(callback));
}

void AsyncWebSocket::ReceiveNext(ReceiveCallback callback) {
    // Frames that came with the 101 are read from memory, in a loop: a
    // burst of them must not deepen the stack.
    while (bufferedOffset_ < buffered_.size()) {
        std::size_t consumed = 0;
        const auto result = reader_.Feed(buffered_.data() + bufferedOffset_,
                                         buffered_.size() - bufferedOffset_, consumed);
        bufferedOffset_ += consumed;
        if (bufferedOffset_ == buffered_.size()) {
            buffered_ = {};
            bufferedOffset_ = 0;
        }
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
    socket_->AsyncRead(reader_.Needed(), [self = sharedFromThis<AsyncWebSocket>(),
                                          callback = std::move(callback)](
                                             ITCPSocket::ErrorCode code, CBYTESubBuffer&& data) {
        self->OnFrameBytes(code, std::move(data), callback);
    });
}

void AsyncWebSocket::OnFrameBytes(ITCPSocket::ErrorCode code, CBYTESubBuffer&& data,
                                  ReceiveCallback callback) {
    if (code != ITCPSocket::kSuccess) {
        if (closeSent_) {
            // The closing handshake ends here, answered or not.
            CloseSocket([callback] { callback(ITCPSocket::kClosed, {}); });
        } else {
            callback(code, {});
        }
        return;
    }
    std::size_t consumed = 0;
    const auto result = reader_.Feed(data.Data(), data.size, consumed);
    if (consumed < data.size) {
        buffered_.append(data.Data() + consumed, data.size - consumed);
    }
    Dispatch(result, std::move(callback));
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
    socket_->AsyncClose([self = sharedFromThis<AsyncWebSocket>(), done = std::move(done)](
                            ITCPSocket::ErrorCode) { done(); });
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
