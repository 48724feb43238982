#include "network/AsyncHTTPConnection.h"

#include <sys/socket.h>

#include <cerrno>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/write.hpp>

#include "IProxyAuthenticator.h"
#include "common/logging/Logger.h"
#include "network/DebugLogging.h"
#include "network/HTTPRequestSerializer.h"

namespace network {

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
