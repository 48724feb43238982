#include "network/AsyncHTTPConnection.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/write.hpp>

#include "IProxyAuthenticator.h"
#include "common/logging/Logger.h"
#include "network/DebugLogging.h"
#include "network/HTTPRedirectPolicy.h"
#include "network/HTTPRequestSerializer.h"
#include "network/HTTPResponseHead.h"
#include "network/Hex.h"

namespace network {

namespace {

constexpr std::size_t kReadSize = 64 * 1024;

bool IsEndOfStream(const boost::system::error_code& error) {
    return error == boost::asio::error::eof || error == boost::asio::ssl::error::stream_truncated;
}

}  // namespace

std::shared_ptr<AsyncHTTPConnection> AsyncHTTPConnection::Create(
    std::shared_ptr<AsyncService> service, std::shared_ptr<AsyncSSLContext> sslContext,
    std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
    std::shared_ptr<INetworkConnectivity> connectivity,
    std::shared_ptr<HTTPCookieStore> cookieStore) {
    return std::make_shared<AsyncHTTPConnection>(std::move(service), std::move(sslContext),
                                                 std::move(proxyAuthenticator),
                                                 std::move(connectivity), std::move(cookieStore),
                                                 nullptr, true);
}

std::shared_ptr<AsyncHTTPConnection> AsyncHTTPConnection::Create(
    std::shared_ptr<AsyncTCPSocket> socket, bool connectOnDemand) {
    auto service = socket->GetAsyncService();
    auto sslContext = socket->GetSSLContext();
    auto proxyAuthenticator = socket->GetProxyAuthenticator();
    auto connectivity = socket->GetNetworkConnectivity();
    return std::make_shared<AsyncHTTPConnection>(
        std::move(service), std::move(sslContext), std::move(proxyAuthenticator),
        std::move(connectivity), std::make_shared<HTTPCookieStore>(), std::move(socket),
        connectOnDemand);
}

AsyncHTTPConnection::AsyncHTTPConnection(std::shared_ptr<AsyncService> service,
                                         std::shared_ptr<AsyncSSLContext> sslContext,
                                         std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                                         std::shared_ptr<INetworkConnectivity> connectivity,
                                         std::shared_ptr<HTTPCookieStore> cookieStore,
                                         std::shared_ptr<AsyncTCPSocket> socket,
                                         bool connectOnDemand)
    : service_(std::move(service)),
      sslContext_(std::move(sslContext)),
      connectivity_(std::move(connectivity)),
      proxyAuthenticator_(std::move(proxyAuthenticator)),
      logger_(common::createLogger("AsyncHTTPConnection")),
      socket_(std::move(socket)),
      connectOnDemand_(connectOnDemand),
      cookieStore_(std::move(cookieStore)),
      connected_(socket_ != nullptr),
      stepTimer_(service_->GetIOContext()) {}

AsyncHTTPConnection::~AsyncHTTPConnection() = default;

std::uint32_t AsyncHTTPConnection::SetCookie(const std::string& setCookieValue) {
    return cookieStore_->SetCookie(setCookieValue);
}

std::uint32_t AsyncHTTPConnection::DeleteCookie(const std::string& name) {
    return cookieStore_->DeleteCookie(name);
}

std::unique_ptr<IHTTPRequest> AsyncHTTPConnection::CreateRequest() {
    return std::make_unique<AsyncHTTPRequest>();
}

void AsyncHTTPConnection::Submit(std::string url, HTTPCallback&& callback) {
    Submit(std::move(url), CreateRequest(), std::move(callback));
}

void AsyncHTTPConnection::Submit(std::string url, std::unique_ptr<IHTTPRequest> request,
                                 HTTPCallback&& callback) {
    std::shared_ptr<AsyncHTTPRequest> shared(static_cast<AsyncHTTPRequest*>(request.release()));
    SubmitRequest(std::move(url), std::move(shared), std::move(callback));
}

void AsyncHTTPConnection::Close() {
    AsyncClose({});
}

void AsyncHTTPConnection::Abort() {
    AsyncAbort({});
}

std::shared_ptr<AsyncTCPSocket> AsyncHTTPConnection::MakeSocket() {
    auto socket = std::make_shared<AsyncTCPSocket>(service_, sslContext_, proxyAuthenticator_,
                                                   connectivity_);
    socket->SetKeepAlive(socketKeepAlive_);
    connected_ = false;
    return socket;
}

void AsyncHTTPConnection::SubmitRequest(std::string url, std::shared_ptr<AsyncHTTPRequest> request,
                                        HTTPCallback&& callback) {
    if (connectOnDemand_ && !socket_) {
        logger_->debug("Instantiating a new TCP socket while connecting to %s", url.c_str());
        socket_ = MakeSocket();
    }
    if (!connectOnDemand_ && !socket_) {
        logger_->error(
            "TCP socket object absent even though HTTP connection expected to operate on existing "
            "supplied socket.");
        Reset(httpstatus::kNotSent, std::move(callback));
        return;
    }
    boost::asio::dispatch(service_->GetIOContext(),
                          [self = sharedFromThis<AsyncHTTPConnection>(), url = std::move(url),
                           request = std::move(request), callback = std::move(callback)]() mutable {
                              self->ParseAndDispatch(url, std::move(request), std::move(callback));
                          });
}

void AsyncHTTPConnection::ParseAndDispatch(const std::string& text,
                                           std::shared_ptr<AsyncHTTPRequest> request,
                                           HTTPCallback callback) {
    URL url;
    failure_.clear();
    // What it connects to itself it reaches by HTTP or HTTPS only.
    if (!parsedURLs_.Parse(text, url) || !url.HasValidPort() ||
        (connectOnDemand_ && url.scheme != "http" && url.scheme != "https")) {
        logger_->error("Refusing HTTP request: <%s> is not a valid http or https URL", text.c_str());
        callback(httpstatus::kNotSent, nullptr);
        return;
    }
    std::string reason;
    if (!ValidateRequest(*request, reason)) {
        logger_->error("Refusing HTTP request to <%s>: %s", text.c_str(), reason.c_str());
        callback(httpstatus::kNotSent, nullptr);
        return;
    }
    // The caller's cookies belong to the origin the caller asked for, not to
    // where a redirect leads.
    cookieStore_->BindCallerCookies(url);
    auto wrapped = WrapRedirect(url, request, std::move(callback));
    SubmitRequestDispatch(url, std::move(request), std::move(wrapped));
}

HTTPCallback AsyncHTTPConnection::WrapRedirect(const URL& url,
                                               std::shared_ptr<AsyncHTTPRequest> request,
                                               HTTPCallback callback) {
    return [self = sharedFromThis<AsyncHTTPConnection>(), url, request = std::move(request),
            callback = std::move(callback)](HTTPStatusCode status,
                                            std::unique_ptr<IHTTPResponse> response) mutable {
        self->HandleRedirect(url, request, callback, status, std::move(response));
    };
}

void AsyncHTTPConnection::SubmitRequestDispatch(const URL& url,
                                                std::shared_ptr<AsyncHTTPRequest> request,
                                                HTTPCallback callback) {
    logger_->debug("SubmitSingleRequest");
    if (!socket_) {
        logger_->debug("Ignoring HTTP request, the socket has been pro-actively closed.");
        Reset(httpstatus::kNotSent, std::move(callback));
        return;
    }
    requestPending_ = true;
    if (!connectOnDemand_) {
        SendRequest(url, std::move(request), false, std::move(callback));
        return;
    }
    const bool live = connected_ && (url.scheme == "https" ? socket_->IsSecure()
                                                           : socket_->IsConnected());
    if (live) {
        const Endpoint& endpoint = socket_->GetEndpoint();
        const bool sameEndpoint = endpoint.port == url.port && endpoint.host == url.host;
        // Looked at every time: bytes may have come in since the last read,
        // also while the answer that read ended was being delivered.
        if (sameEndpoint && !socket_->HasInputOrEnded()) {
            SendRequest(url, std::move(request), true, std::move(callback));
        } else if (sameEndpoint || awayOnRedirect_) {
            // A kept connection with a stray answer waiting, or closed by the
            // peer, carries no request (RFC 9112 section 9.3); nor does one a
            // redirect left with another endpoint.
            logger_->debug("The kept connection cannot carry the request to <%s>; connecting anew",
                           url.ToString().c_str());
            awayOnRedirect_ = false;
            ConnectAnew(url, std::move(request), std::move(callback));
        } else {
            Reset(httpstatus::kNotSent, std::move(callback));
        }
        return;
    }
    awayOnRedirect_ = false;
    ConnectSendRequest(url, std::move(request), std::move(callback));
}

void AsyncHTTPConnection::ConnectSendRequest(const URL& url,
                                             std::shared_ptr<AsyncHTTPRequest> request,
                                             HTTPCallback callback) {
    if (!socket_) {
        Reset(httpstatus::kNotSent, std::move(callback));
        return;
    }
    const auto port = static_cast<std::uint16_t>(url.port);
    const bool useTLS = request->UseTLS(url, port);
    const std::string proxyHost = proxyAuthenticator_ ? proxyAuthenticator_->getHost() : "";
    const std::uint16_t proxyPort = proxyAuthenticator_ ? proxyAuthenticator_->getPort() : 0;
    connected_ = false;
    socket_->AsyncConnect(
        url.host, port, useTLS, proxyHost, proxyPort,
        [self = sharedFromThis<AsyncHTTPConnection>(), generation = generation_, url,
         request = std::move(request), callback = std::move(callback)](
            ITCPSocket::ErrorCode code) mutable {
            self->OnConnected(code, generation, url, std::move(request), std::move(callback));
        });
}

void AsyncHTTPConnection::OnConnected(ITCPSocket::ErrorCode code, std::uint64_t generation,
                                      const URL& url, std::shared_ptr<AsyncHTTPRequest> request,
                                      HTTPCallback callback) {
    if (generation != generation_) {
        logger_->debug("HTTP request to <%s> cancelled while connecting", url.ToString().c_str());
        requestPending_ = false;
        callback(httpstatus::kIOError, nullptr);
        return;
    }
    if (code == ITCPSocket::kSuccess) {
        connected_ = true;
        SendRequest(url, std::move(request), false, std::move(callback));
    } else if (code == ITCPSocket::kProxyAuthenticationRequired) {
        logger_->debug("Authentication required when connecting to proxy <%s:%u>",
                       proxyAuthenticator_ ? proxyAuthenticator_->getHost().c_str() : "",
                       proxyAuthenticator_ ? proxyAuthenticator_->getPort() : 0u);
        Reset(httpstatus::kProxyAuthenticationRequired, std::move(callback));
    } else {
        logger_->error("Error while connecting to <%s>", url.ToString().c_str());
        Reset(httpstatus::kConnectFailed, std::move(callback));
    }
}

bool AsyncHTTPConnection::ValidateRequest(const AsyncHTTPRequest& request, std::string& reason) {
    return HTTPRequestSerializer::Validate(request, reason);
}

void AsyncHTTPConnection::SerializeRequest(AsyncHTTPRequestData& data,
                                           const AsyncHTTPRequest& request,
                                           const HTTPCookieStore* cookieStore, bool keepAlive) {
    HTTPRequestSerializer::Serialize(data, request, cookieStore, keepAlive);
}

void AsyncHTTPConnection::SendRequest(const URL& url, std::shared_ptr<AsyncHTTPRequest> request,
                                      bool reused, HTTPCallback callback) {
    auto data = std::make_shared<AsyncHTTPRequestData>(
        url, DebugWritten() ? &LoggerOf(requestDataLogger_, "AsyncHTTPRequestData") : nullptr);
    SerializeRequest(*data, *request, cookieStore_.get(), keepAlive_);
    if (!socket_) {
        Reset(httpstatus::kNotSent, std::move(callback));
        return;
    }
    auto exchange = std::make_shared<HTTPExchange>();
    exchange->url = url;
    exchange->request = std::move(request);
    exchange->callback = std::move(callback);
    exchange->reused = reused;
    exchange->socket = socket_;
    exchange->secure = socket_->IsSecure();
    exchange->generation = generation_;
    exchange->requestData = data;
    stepTimer_.StartStep(exchange);
    const auto& buffer = data->buffer;
    std::size_t sent = 0;
    if (!exchange->secure) {
        // A plain socket mostly takes a request at once: sent here, the
        // response is waited for without a turn of the event loop between.
        ssize_t written = 0;
        do {
            written = ::send(socket_->GetTCPStream().native_handle(), buffer.data(), buffer.size(),
                             MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (written < 0 && errno == EINTR);
        sent = written > 0 ? static_cast<std::size_t>(written) : 0;
        if (sent == buffer.size()) {
            OnRequestSent(exchange, {}, sent);
            return;
        }
    }
    // The rest, and any failure, through the stream.
    auto done = [self = sharedFromThis<AsyncHTTPConnection>(), exchange, sent](
                    const boost::system::error_code& error, std::size_t bytes) {
        self->OnRequestSent(exchange, error, sent + bytes);
    };
    const auto bytes = boost::asio::buffer(buffer) + sent;
    if (exchange->secure) {
        boost::asio::async_write(socket_->GetTLSStream(), bytes, std::move(done));
    } else {
        boost::asio::async_write(socket_->GetTCPStream(), bytes, std::move(done));
    }
}

bool AsyncHTTPConnection::Cancelled(const Exchange& exchange) const {
    return exchange.generation != generation_;
}

std::string AsyncHTTPConnection::ErrorText(const Exchange& exchange,
                                           const boost::system::error_code& error) const {
    return AsyncTCPSocket::DescribeError(exchange.timedOut ? boost::asio::error::timed_out : error);
}

void AsyncHTTPConnection::OnRequestSent(const std::shared_ptr<Exchange>& exchange,
                                        const boost::system::error_code& error, std::size_t bytes) {
    if (Cancelled(*exchange)) {
        logger_->debug("HTTP request to <%s> cancelled while sending", exchange->url.ToString().c_str());
        requestPending_ = false;
        exchange->callback(httpstatus::kIOError, nullptr);
        return;
    }
    if (error || bytes == 0) {
        if (connectOnDemand_ && exchange->reused) {
            RetryAfterFailure(exchange->url, exchange->request, std::move(exchange->callback));
            return;
        }
        logger_->error("Error while sending HTTP headers; reason: %s",
                       ErrorText(*exchange, error).c_str());
        Reset(httpstatus::kIOError, std::move(exchange->callback));
        return;
    }
    exchange->responseData = std::make_shared<AsyncHTTPResponseData>(
        exchange->url, exchange->requestData->isConnect,
        exchange->request->method == "HEAD", bodyLimit_,
        DebugWritten() ? &LoggerOf(responseDataLogger_, "AsyncHTTPResponseData") : nullptr);
    if (bodySink_.sink) {
        // A body decoded from a transfer coding goes on in pieces, not a read's worth at once.
        exchange->responseData->reader.SetBodyHandOff(
            bodySink_.pieceSize, [this, sent = exchange.get()] { return PassBodyToSink(*sent, false); });
    }
    exchange->requestData.reset();
    auto& buffer = exchange->responseData->readBuffer;
    buffer = readBuffer_.size() == kReadSize ? std::move(readBuffer_)
                                             : core::NonInitializingBuffer<unsigned char>(kReadSize);
    // A plain tunnel's bytes that came with the proxy's answer come first.
    auto early = exchange->secure ? ByteBuffer() : exchange->socket->TakeTunnelInput();
    if (!early.empty()) {
        const std::size_t size = early.size();
        if (size > buffer.size()) {
            buffer = std::move(early);
        } else {
            std::memcpy(buffer.data(), early.data(), size);
        }
        OnResponseData(exchange, {}, size, 0);
        return;
    }
    ReadResponse(exchange);
}

void AsyncHTTPConnection::ReadResponse(const std::shared_ptr<Exchange>& exchange, bool takeWaiting) {
    if (!socket_) {
        Reset(httpstatus::kNotSent, std::move(exchange->callback));
        return;
    }
    // A body of announced length goes straight into its buffer; everything
    // else through the read buffer and the reader. What comes behind the
    // body in the same read goes to the read buffer: bytes nobody asked for
    // show up there, and the connection is not used again.
    auto& buffer = exchange->responseData->readBuffer;
    auto& reader = exchange->responseData->reader;
    auto window = reader.BodyWindow();
    if (bodySink_.sink) {
        // What the sink takes goes in pieces: no read overfills one.
        const std::size_t held = reader.Body().size() % kSinkPieceSize;
        window.second = std::min(window.second, kSinkPieceSize - held);
    }
    const std::size_t inPlace = window.second;
    std::array<boost::asio::mutable_buffer, 2> into{
        boost::asio::buffer(window.first, window.second),
        boost::asio::buffer(buffer.data(), inPlace > 0 && exchange->secure ? 0 : buffer.size())};
    if (takeWaiting && !exchange->secure && !takingWaiting_) {
        // The rest of an answer is mostly there already (servers write the
        // head and the body apart): taken at once from a plain socket, it
        // costs no turn of the event loop. Once per handler, so that a long
        // body does not nest calls.
        iovec parts[2] = {{into[0].data(), into[0].size()}, {into[1].data(), into[1].size()}};
        msghdr message{};
        message.msg_iov = inPlace > 0 ? parts : parts + 1;
        message.msg_iovlen = inPlace > 0 ? 2 : 1;
        ssize_t taken = 0;
        do {
            taken = ::recvmsg(exchange->socket->GetTCPStream().native_handle(), &message, MSG_DONTWAIT);
        } while (taken < 0 && errno == EINTR);
        if (taken >= 0) {
            takingWaiting_ = true;
            const auto error = taken > 0 ? boost::system::error_code() : boost::asio::error::eof;
            try {
                OnResponseData(exchange, error, static_cast<std::size_t>(taken), inPlace);
            } catch (...) {
                takingWaiting_ = false;
                throw;
            }
            takingWaiting_ = false;
            return;
        }
        // Nothing there yet, or a failure: the stream waits, or reports it.
    }
    stepTimer_.StartStep(exchange);
    auto done = [self = sharedFromThis<AsyncHTTPConnection>(), exchange, inPlace](
                    const boost::system::error_code& error, std::size_t bytes) {
        self->OnResponseData(exchange, error, bytes, inPlace);
    };
    if (exchange->secure) {
        // TLS hands over its records one at a time: the window alone.
        exchange->socket->GetTLSStream().async_read_some(inPlace > 0 ? into[0] : into[1],
                                                         std::move(done));
    } else if (inPlace > 0) {
        exchange->socket->GetTCPStream().async_read_some(into, std::move(done));
    } else {
        exchange->socket->GetTCPStream().async_read_some(into[1], std::move(done));
    }
}

void AsyncHTTPConnection::OnResponseData(const std::shared_ptr<Exchange>& exchange,
                                         const boost::system::error_code& error, std::size_t bytes,
                                         std::size_t inPlace) {
    auto& response = *exchange->responseData;
    auto& reader = response.reader;
    if (Cancelled(*exchange)) {
        logger_->debug("HTTP request to <%s> cancelled while reading the response",
                       exchange->url.ToString().c_str());
        requestPending_ = false;
        exchange->callback(httpstatus::kIOError, nullptr);
        return;
    }
    HTTPResponseReader::Result result = HTTPResponseReader::Result::NeedMore;
    if (error) {
        if (!reader.ReceivedAny() && connectOnDemand_ && exchange->reused) {
            RetryAfterFailure(exchange->url, exchange->request, std::move(exchange->callback));
            return;
        }
        // The end of the stream ends a body read until then; anywhere else
        // it fails the step like any other read error.
        const bool ended = IsEndOfStream(error) && !exchange->timedOut;
        if (!ended || (result = reader.Finish()) == HTTPResponseReader::Result::Error) {
            // Why the end of the stream came too early; empty after a read error.
            failure_ = reader.ErrorText();
            LogReadFailure(reader, ErrorText(*exchange, error));
            Reset(httpstatus::kIOError, std::move(exchange->callback));
            return;
        }
    } else {
        // The bytes in place first; the rest went to the read buffer.
        const std::size_t placed = std::min(bytes, inPlace);
        if (placed > 0) {
            result = reader.CommitBody(placed);
        }
        const std::size_t buffered = bytes - placed;
        if (buffered > 0) {
            std::size_t consumed = 0;
            result = reader.Feed(response.readBuffer.data(), buffered, consumed);
            if (result == HTTPResponseReader::Result::Done && consumed < buffered) {
                response.leftover.append(response.readBuffer.data() + consumed, buffered - consumed);
            }
        }
    }
    HTTPResponseHead::Take(response, *cookieStore_);
    if (bodySink_.sink && result != HTTPResponseReader::Result::InvalidStatus &&
        result != HTTPResponseReader::Result::Error &&
        !PassBodyToSink(*exchange, result == HTTPResponseReader::Result::Done)) {
        Reset(httpstatus::kIOError, std::move(exchange->callback));
        return;
    }
    switch (result) {
    case HTTPResponseReader::Result::NeedMore:
        ReadResponse(exchange, true);
        return;
    case HTTPResponseReader::Result::Done:
        Reset(exchange);
        return;
    case HTTPResponseReader::Result::InvalidStatus:
        response.Log().error("Invalid response received from <%s>", exchange->url.ToString().c_str());
        Reset(httpstatus::kInvalidResponse, std::move(exchange->callback));
        return;
    case HTTPResponseReader::Result::Error:
        failure_ = reader.ErrorText();
        logger_->error("Invalid HTTP response from <%s>: %s", exchange->url.ToString().c_str(),
                       failure_.c_str());
        Reset(httpstatus::kIOError, std::move(exchange->callback));
        return;
    }
}

void AsyncHTTPConnection::LogReadFailure(const HTTPResponseReader& reader,
                                         const std::string& reason) {
    logger_->error("%s; reason: %s", HTTPResponseHead::FailedStep(reader).c_str(), reason.c_str());
    logger_->debug("Data received: %s", ToHex(reader.PendingBytes()).c_str());
}

bool AsyncHTTPConnection::PassBodyToSink(const Exchange& exchange, bool complete) {
    auto& response = *exchange.responseData;
    const auto result = response.sunkBody.Pass(response.reader, response.isConnect, complete,
                                               bodyLimit_, bodySink_);
    if (result != HTTPSunkBody::Result::Ok) {
        failure_ = response.sunkBody.Error();
        logger_->error("Error while handing on the body from <%s>: %s",
                       exchange.url.ToString().c_str(), response.sunkBody.Error().c_str());
    }
    return result == HTTPSunkBody::Result::Ok;
}

bool AsyncHTTPConnection::ShouldCloseConnection(bool isConnect, std::uint32_t version,
                                                std::uint32_t status,
                                                const HTTPHeaderList& headers) {
    return HTTPResponseHead::ClosesConnection(isConnect, version, status, headers);
}

void AsyncHTTPConnection::Reset(HTTPStatusCode code, HTTPCallback callback) {
    requestPending_ = false;
    if (connectOnDemand_ && code <= 99) {
        AsyncAbort([callback = std::move(callback), code]() { callback(code, nullptr); });
        return;
    }
    callback(code, nullptr);
}

void AsyncHTTPConnection::Reset(const std::shared_ptr<Exchange>& exchange) {
    exchange->finished = true;
    auto& response = *exchange->responseData;
    auto& reader = response.reader;
    // Bytes behind a switch of protocols or an opened tunnel are the new
    // protocol's, not a stray answer.
    const bool tunnel = response.isConnect && reader.Status() >= 200 && reader.Status() < 300;
    if (reader.Status() == 101 || tunnel) {
        upgradeBytes_ = std::move(response.leftover);
        response.leftover = {};
    }
    const bool close =
        ShouldCloseConnection(response.isConnect, reader.Version(), reader.Status(), reader.Headers()) ||
        reader.FramingRequiresClose() || !response.leftover.empty();
    if (close && connectOnDemand_) {
        // The answer is whole: delivered now, while the socket, let go of at
        // once, closes behind it (a TLS close waits for the peer's).
        const auto socket = socket_;
        AsyncClose({});
        if (socket_ == socket) {
            socket_.reset();
        }
    } else if (close) {
        // The supplied socket is its owner's: closed before the owner hears.
        AsyncClose([self = sharedFromThis<AsyncHTTPConnection>(), exchange] { self->Deliver(exchange); });
        return;
    }
    Deliver(exchange);
}

void AsyncHTTPConnection::Deliver(const std::shared_ptr<Exchange>& exchange) {
    requestPending_ = false;
    // No read is outstanding any more: the buffer goes back for the next response.
    readBuffer_ = std::move(exchange->responseData->readBuffer);
    std::string error;
    auto response = exchange->responseData->TakeResponse(bodyLimit_, error);
    if (!error.empty()) {
        failure_ = "the body does not decode: " + error;
        logger_->error("The body from <%s> does not decode: %s", exchange->url.ToString().c_str(),
                       error.c_str());
        exchange->callback(httpstatus::kIOError, nullptr);
        return;
    }
    const auto status = exchange->responseData->reader.Status();
    exchange->responseData.reset();
    // The callback may let go of the connection; its callers go on with it.
    const auto self = sharedFromThis<AsyncHTTPConnection>();
    exchange->callback(status, std::move(response));
}

void AsyncHTTPConnection::RetryAfterFailure(const URL& url, std::shared_ptr<AsyncHTTPRequest> request,
                                            HTTPCallback callback) {
    logger_->debug("Sending the request to <%s> again on a new connection", url.ToString().c_str());
    ConnectAnew(url, std::move(request), std::move(callback));
}

void AsyncHTTPConnection::ConnectAnew(const URL& url, std::shared_ptr<AsyncHTTPRequest> request,
                                      HTTPCallback callback) {
    AsyncAbort([self = sharedFromThis<AsyncHTTPConnection>(), url, request = std::move(request),
                callback = std::move(callback)]() mutable {
        self->ConnectSendRequest(url, std::move(request), std::move(callback));
    });
}

void AsyncHTTPConnection::HandleRedirect(const URL& url,
                                         const std::shared_ptr<AsyncHTTPRequest>& request,
                                         HTTPCallback& callback, HTTPStatusCode status,
                                         std::unique_ptr<IHTTPResponse> response) {
    if (!response || !HTTPRedirectPolicy::Follows(status, *request)) {
        callback(status, std::move(response));
        return;
    }
    const std::string location = response->GetHeader("Location");
    if (location.empty()) {
        callback(status, std::move(response));
        return;
    }
    URL target;
    std::string refusal;
    if (!HTTPRedirectPolicy::Target(url, location, target, refusal)) {
        logger_->error("%s", refusal.c_str());
        callback(status, std::move(response));
        return;
    }
    HTTPRedirectPolicy::Rewrite(*request, status, url, target);
    response.reset();
    const bool sameEndpoint = HTTPRedirectPolicy::SameOrigin(url, target);
    logger_->debug("Following a redirect (%u) to <%s>", status, target.ToString().c_str());
    if (sameEndpoint) {
        if (connectOnDemand_ && !socket_) {
            socket_ = MakeSocket();
        }
        SubmitRequestDispatch(target, request, WrapRedirect(target, request, std::move(callback)));
    } else if (connectOnDemand_) {
        // The connection's next request goes to its own endpoint again.
        awayOnRedirect_ = true;
        RetryAfterFailure(target, request, std::move(callback));
    } else {
        callback(httpstatus::kNotSent, nullptr);
    }
}

void AsyncHTTPConnection::AsyncClose(std::function<void()>&& completion) {
    logger_->debug("AsyncClose");
    logger_->debug(requestPending_ ? "Connection has pending request."
                                   : "Connection has no pending request.");
    ++generation_;
    connected_ = false;
    if (!socket_) {
        if (completion) {
            completion();
        }
        return;
    }
    auto socket = socket_;
    socket->AsyncClose([self = sharedFromThis<AsyncHTTPConnection>(), socket,
                        completion = std::move(completion)](ITCPSocket::ErrorCode) {
        if (self->socket_ == socket) {
            self->socket_.reset();
        }
        if (completion) {
            completion();
        }
    });
}

void AsyncHTTPConnection::AsyncAbort(std::function<void()>&& completion) {
    logger_->debug("AsyncAbort");
    logger_->debug(requestPending_ ? "Connection has pending request."
                                   : "Connection has no pending request.");
    ++generation_;
    if (!connectOnDemand_) {
        if (completion) {
            completion();
        }
        return;
    }
    auto old = std::exchange(socket_, MakeSocket());
    if (!old) {
        if (completion) {
            completion();
        }
        return;
    }
    old->AsyncClose([completion = std::move(completion)](ITCPSocket::ErrorCode) {
        if (completion) {
            completion();
        }
    });
}

}  // namespace network
