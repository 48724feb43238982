#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/system/error_code.hpp>

#include "common/logging/ILogger.h"
#include "core/SharedFromThis.h"
#include "network/AsyncHTTPRequest.h"
#include "network/AsyncHTTPRequestData.h"
#include "network/AsyncHTTPResponseData.h"
#include "network/AsyncSSLContext.h"
#include "network/AsyncService.h"
#include "network/AsyncTCPSocket.h"
#include "network/HTTPCookieStore.h"
#include "network/HTTPExchange.h"
#include "network/HTTPStepTimer.h"
#include "network/HTTPResponseReader.h"
#include "network/ParsedURLCache.h"
#include "network/IHTTPConnection.h"
#include "network/IHTTPResponse.h"
#include "network/INetworkConnectivity.h"

class IProxyAuthenticator;

namespace network {

// The library's HTTP/1.1 client connection over one AsyncTCPSocket. The
// connect-on-demand form owns its socket, connects it when a request needs
// it and reuses it while requests go to the same endpoint, retrying once,
// silently, when a kept socket turns out to be stale. The supplied-socket
// form speaks HTTP over a socket somebody else connected (proxy tunnel, web
// socket). Requests are checked before they are sent, responses are read
// with exact framing and bounded sizes, cookies go to the cookie store and
// redirects are followed. Always owned by a shared pointer; everything after
// the submission runs on the service's thread.
class AsyncHTTPConnection : public IHTTPConnection, public core::SharedFromThis {
public:
    // The records of one transmission and of one response.
    using AsyncHTTPRequestData = network::AsyncHTTPRequestData;
    using AsyncHTTPResponseData = network::AsyncHTTPResponseData;

    // Takes body bytes as they arrive; false stops the read.
    using BodySink = std::function<bool(const unsigned char* data, std::size_t size)>;
    // What becomes of the body of an answer with this status: kept in the
    // response, given to the body sink, or dropped (HTTPSunkBody).
    using BodyUse = HTTPSunkBody::Use;
    using BodyFilter = HTTPSunkBody::Filter;

    // The pool's form: connects on demand.
    static std::shared_ptr<AsyncHTTPConnection> Create(
        std::shared_ptr<AsyncService> service, std::shared_ptr<AsyncSSLContext> sslContext,
        std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
        std::shared_ptr<INetworkConnectivity> connectivity,
        std::shared_ptr<HTTPCookieStore> cookieStore);
    // Over a socket that somebody else connects.
    static std::shared_ptr<AsyncHTTPConnection> Create(std::shared_ptr<AsyncTCPSocket> socket,
                                                       bool connectOnDemand);

    AsyncHTTPConnection(std::shared_ptr<AsyncService> service,
                        std::shared_ptr<AsyncSSLContext> sslContext,
                        std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                        std::shared_ptr<INetworkConnectivity> connectivity,
                        std::shared_ptr<HTTPCookieStore> cookieStore,
                        std::shared_ptr<AsyncTCPSocket> socket, bool connectOnDemand);
    ~AsyncHTTPConnection() override;

    void SetKeepAlive(bool keepAlive) override { keepAlive_ = keepAlive; }
    std::uint32_t SetCookie(const std::string& setCookieValue) override;
    std::uint32_t DeleteCookie(const std::string& name) override;
    std::unique_ptr<IHTTPRequest> CreateRequest() override;
    void Submit(std::string url, HTTPCallback&& callback) override;
    void Submit(std::string url, std::unique_ptr<IHTTPRequest> request,
                HTTPCallback&& callback) override;
    void Close() override;
    void Abort() override;
    virtual void SubmitRequest(std::string url, std::shared_ptr<AsyncHTTPRequest> request,
                               HTTPCallback&& callback);

    void AsyncClose(std::function<void()>&& completion);
    void AsyncAbort(std::function<void()>&& completion);

    // TCP keep-alive of the sockets this connection makes.
    void SetSocketKeepAlive(bool keepAlive) { socketKeepAlive_ = keepAlive; }
    // The largest body accepted, coded and decoded.
    void SetBodyLimit(std::uint64_t bytes) { bodyLimit_ = bytes; }
    // While set, `takes` decides, once the head of an answer is read and
    // with its status, what becomes of its body (when empty: a successful
    // answer's, 2xx, is sunk, another's kept). A body sunk goes to `sink`
    // as it arrives, in pieces of about `pieceSize` bytes (1: what each read
    // brought), and the response delivered has an empty body; a
    // content-coded body is decoded on the way (HTTPSunkBody). A sink that
    // returns false, or a body that does not decode, fails the request with
    // code 5. A body dropped is read and thrown away as it arrives, never
    // decoded: the response keeps its first HTTPSunkBody::kKeptStart bytes
    // when it is not content-coded, none otherwise. The body of an answer
    // to CONNECT is never sunk (kept instead), and that of a redirect the
    // connection follows is always dropped, `takes` not asked. `takes` and
    // `sink` are called on the service's thread; `sink` may be empty when
    // `takes` sinks nothing.
    void SetBodySink(BodySink sink, std::size_t pieceSize = kSinkPieceSize,
                     BodyFilter takes = {}) {
        bodySink_ = {std::move(sink), std::move(takes), pieceSize == 0 ? 1 : pieceSize};
    }
    static constexpr std::size_t kSinkPieceSize = HTTPSunkBody::kPieceSize;
    // Bytes that followed the head of a 101 answer or of an opened tunnel
    // (CONNECT answered 2xx): the new protocol's.
    core::NonInitializingBuffer<unsigned char> TakeUpgradeBytes() { return std::move(upgradeBytes_); }
    std::shared_ptr<AsyncTCPSocket> GetSocket() const { return socket_; }
    std::shared_ptr<HTTPCookieStore> GetCookieStore() const { return cookieStore_; }
    // Why the last request submitted failed in its answer, in words, when
    // the status code alone does not say (a body that does not decode, a
    // framing the reader refused); empty otherwise. Set before the callback.
    const std::string& FailureReason() const { return failure_; }

    // Refuses what would break the request head or its framing
    // (HTTPRequestSerializer::Validate). The reason on false.
    static bool ValidateRequest(const AsyncHTTPRequest& request, std::string& reason);
    // The request head and body as they go on the wire.
    static void SerializeRequest(AsyncHTTPRequestData& data, const AsyncHTTPRequest& request,
                                 const HTTPCookieStore* cookieStore, bool keepAlive);
    static bool ShouldCloseConnection(bool isConnect, std::uint32_t version, std::uint32_t status,
                                      const HTTPHeaderList& headers);

private:
    using Exchange = HTTPExchange;

    std::shared_ptr<AsyncTCPSocket> MakeSocket();
    void ParseAndDispatch(const std::string& text, std::shared_ptr<AsyncHTTPRequest> request,
                          HTTPCallback callback);
    HTTPCallback WrapRedirect(const URL& url, std::shared_ptr<AsyncHTTPRequest> request,
                              HTTPCallback callback);
    void HandleRedirect(const URL& url, const std::shared_ptr<AsyncHTTPRequest>& request,
                        HTTPCallback& callback, HTTPStatusCode status,
                        std::unique_ptr<IHTTPResponse> response);
    void SubmitRequestDispatch(const URL& url, std::shared_ptr<AsyncHTTPRequest> request,
                               HTTPCallback callback);
    void ConnectSendRequest(const URL& url, std::shared_ptr<AsyncHTTPRequest> request,
                            HTTPCallback callback);
    void OnConnected(ITCPSocket::ErrorCode code, std::uint64_t generation, const URL& url,
                     std::shared_ptr<AsyncHTTPRequest> request, HTTPCallback callback);
    void SendRequest(const URL& url, std::shared_ptr<AsyncHTTPRequest> request, bool reused,
                     HTTPCallback callback);
    void RetryAfterFailure(const URL& url, std::shared_ptr<AsyncHTTPRequest> request,
                           HTTPCallback callback);
    // Replaces the socket by a new one, connected to `url`, and sends there.
    void ConnectAnew(const URL& url, std::shared_ptr<AsyncHTTPRequest> request,
                     HTTPCallback callback);
    void OnRequestSent(const std::shared_ptr<Exchange>& exchange,
                       const boost::system::error_code& error, std::size_t bytes);
    // Reads the next bytes of the response; `takeWaiting`: bytes already
    // waiting on a plain socket are taken at once.
    void ReadResponse(const std::shared_ptr<Exchange>& exchange, bool takeWaiting = false);
    // `inPlace`: the size of the room in the body (HTTPResponseReader::BodyWindow)
    // that the first bytes went to; the rest went to the read buffer.
    void OnResponseData(const std::shared_ptr<Exchange>& exchange,
                        const boost::system::error_code& error, std::size_t bytes,
                        std::size_t inPlace);
    // Once the head is read, decides what becomes of the body; then hands
    // the body read so far on (to the body sink, or drops it) when it is
    // not kept and a piece is full or the body `complete`; false, logged,
    // when the sink refused it or it does not decode.
    bool PassBody(const Exchange& exchange, bool complete);
    // What becomes of the body of the answer whose head `exchange` read.
    BodyUse UseOfBody(const Exchange& exchange) const;
    // Whether an answer of `status` with `location` to `request`, sent to
    // `url`, is a redirect that is followed, and where to; a target that may
    // not be followed gives false with the reason in `refusal`.
    static bool RedirectTarget(const URL& url, const AsyncHTTPRequest& request,
                               HTTPStatusCode status, const std::string& location, URL& target,
                               std::string& refusal);
    // The failed read's step, its reason, and the bytes no step has taken.
    void LogReadFailure(const HTTPResponseReader& reader, const std::string& reason);
    bool Cancelled(const Exchange& exchange) const;
    // Ends the request with `code` and no response; a connect-on-demand
    // connection replaces its socket first for codes below 100.
    void Reset(HTTPStatusCode code, HTTPCallback callback);
    // Delivers a complete response, closing first when it must.
    void Reset(const std::shared_ptr<Exchange>& exchange);
    void Deliver(const std::shared_ptr<Exchange>& exchange);
    std::string ErrorText(const Exchange& exchange, const boost::system::error_code& error) const;

    std::shared_ptr<AsyncService> service_;
    std::shared_ptr<AsyncSSLContext> sslContext_;
    std::shared_ptr<INetworkConnectivity> connectivity_;
    std::shared_ptr<IProxyAuthenticator> proxyAuthenticator_;
    std::unique_ptr<common::ILogger> logger_;
    // The channels of the request and response records, shared by them:
    // made once, not for every request.
    std::unique_ptr<common::ILogger> requestDataLogger_;
    std::unique_ptr<common::ILogger> responseDataLogger_;
    std::shared_ptr<AsyncTCPSocket> socket_;
    bool connectOnDemand_;
    bool socketKeepAlive_ = false;
    std::shared_ptr<HTTPCookieStore> cookieStore_;
    bool keepAlive_ = false;
    bool requestPending_ = false;
    // Whether the socket's last connect succeeded; only such a socket is reused.
    bool connected_ = false;
    // The socket was left connected to another endpoint by a redirect.
    bool awayOnRedirect_ = false;
    // Counts closes and aborts: an exchange that sees it change was cancelled.
    std::uint64_t generation_ = 0;
    std::uint64_t bodyLimit_ = HTTPResponseReader::kDefaultBodyLimit;
    core::NonInitializingBuffer<unsigned char> upgradeBytes_;
    // The read buffer between responses: one per connection, not per request.
    core::NonInitializingBuffer<unsigned char> readBuffer_;
    HTTPSunkBody::Target bodySink_;
    ParsedURLCache parsedURLs_;
    // Within a response handler that took waiting bytes itself.
    bool takingWaiting_ = false;
    HTTPStepTimer stepTimer_;
    std::string failure_;
};

}  // namespace network
