#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/connection.hpp>

#include "common/logging/ILogger.h"
#include "network/AsyncSSLContext.h"
#include "network/AsyncService.h"
#include "network/Endpoint.h"
#include "network/HTTPStatusCode.h"
#include "network/HostResolver.h"
#include "network/PrefixedTCPStream.h"
#include "network/ProxyAuthenticationSession.h"
#include "network/INetworkConnectivity.h"
#include "network/ITCPSocket.h"
#include "network/ResolvedEndpoint.h"

class IProxyAuthenticator;

namespace network {

class IHTTPResponse;

// The library's transport: connects to a host name (trying each resolved
// address in turn) or an IP literal, directly or through an HTTP proxy's
// CONNECT tunnel (authenticated with Digest or Basic as the proxy asks, with
// the proxy authenticator's credentials; the body of a refusal is read and
// dropped as it comes), optionally completes a TLS handshake
// with host-name verification, sends one write at a time (urgent ones
// first), reads exact byte counts and closes in order. Every step has a
// deadline of the time-out. Always owned by a shared pointer; each pending
// step holds the socket alive. Runs on the service's thread only.
class AsyncTCPSocket : public ITCPSocket, public std::enable_shared_from_this<AsyncTCPSocket> {
public:
    AsyncTCPSocket(std::shared_ptr<AsyncService> service, std::shared_ptr<AsyncSSLContext> sslContext,
                   std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                   std::shared_ptr<INetworkConnectivity> connectivity);
    ~AsyncTCPSocket() override;

    void SetTimeout(std::uint64_t milliseconds) override { timeout_ = milliseconds; }
    void SetKeepAlive(bool keepAlive) override { keepAlive_ = keepAlive; }
    void AsyncConnect(const std::string& host, std::uint16_t port, bool ssl,
                      Callback callback) override;
    void AsyncConnect(const std::string& host, std::uint16_t port, bool ssl,
                      const std::string& proxyHost, std::uint16_t proxyPort,
                      Callback callback) override;
    void AsyncClose(Callback callback) override;
    void AsyncWrite(CBYTESubBuffer buffer, WriteCallback callback) override;
    void AsyncWrite(CBYTESubBuffer buffer, bool priority, WriteCallback callback) override;
    void AsyncRead(std::uint64_t size, ReadCallback callback) override;

    std::shared_ptr<AsyncService> GetAsyncService() const { return service_; }
    std::shared_ptr<AsyncSSLContext> GetSSLContext() const { return sslContext_; }
    std::shared_ptr<INetworkConnectivity> GetNetworkConnectivity() const { return connectivity_; }
    std::shared_ptr<IProxyAuthenticator>& GetProxyAuthenticator() { return proxyAuthenticator_; }
    const Endpoint& GetEndpoint() const { return endpoint_; }
    bool IsConnected() const { return connected_; }
    bool IsSecure() const { return secure_; }
    std::uint64_t GetTimeout() const { return timeout_; }

    // The streams under the socket, for protocols that read with their own
    // composed operations (HTTP); such reads bring their own deadline.
    using TLSStream = boost::asio::ssl::stream<PrefixedTCPStream>;
    boost::asio::ip::tcp::socket& GetTCPStream() { return socket_; }
    TLSStream& GetTLSStream() { return *tlsStream_; }

    // The bytes of a plain tunnel that came in with the proxy's answer to
    // CONNECT and were not read yet: the tunnelled peer's first bytes, which
    // a protocol reading the stream itself must take first. (Through TLS they
    // go to the TLS engine.)
    ByteBuffer TakeTunnelInput();
    // Whether a connection kept between requests has anything to read (a
    // stray answer) or was ended by the peer: it cannot carry a request.
    bool HasInputOrEnded();

    // Looks host names up through `resolver` instead of the system's.
    void SetResolver(std::shared_ptr<HostResolver> resolver) { resolver_ = std::move(resolver); }

    // The log text of an error: its message and, for TLS errors, OpenSSL's
    // own text and the error's parts.
    static std::string DescribeError(const boost::system::error_code& error);

private:

    struct WriteEntry {
        CBYTESubBuffer buffer;
        WriteCallback callback;
        bool priority;
        std::uint64_t sequence;
    };
    // Heap order: the entry to send next is the greatest.
    static bool SendsLater(const WriteEntry& a, const WriteEntry& b);

    // A deadline racing one kind of step; `generation` tells a stale expiry
    // from the current one.
    struct Deadline {
        explicit Deadline(boost::asio::io_context& context) : timer(context) {}
        boost::asio::steady_timer timer;
        std::uint64_t generation = 0;
    };

    // One connect through a proxy, as each of its CONNECT exchanges sees it.
    struct ProxyConnect {
        std::string host;
        std::uint16_t port;
        bool ssl;
        std::string proxyHost;
        std::uint16_t proxyPort;
        Callback callback;
    };

    bool IsNetworkAvailable() const;
    void ListenForCloseAll();
    // The connect itself, also each repeat within one caller's connect.
    void Connect(const std::string& host, std::uint16_t port, bool ssl,
                 const std::string& proxyHost, std::uint16_t proxyPort, Callback callback);
    // One CONNECT exchange on the connection to the proxy.
    void AsyncProxyAuthenticate(const std::string& host, std::uint16_t port, bool ssl,
                                const std::string& proxyHost, std::uint16_t proxyPort,
                                Callback callback);
    void OnProxyResponse(const ProxyConnect& connect, HTTPStatusCode status,
                         const std::unique_ptr<IHTTPResponse>& response);
    void OnProxyChallenge(const ProxyConnect& connect, IHTTPResponse& response);
    void AsyncDirectConnect(const std::string& host, std::uint16_t port, Callback callback);
    void ConnectNext(std::deque<ResolvedEndpoint> endpoints, Callback callback);
    void ConnectEndpoint(const ResolvedEndpoint& endpoint, Callback callback);
    void OpenSocket(const boost::asio::ip::tcp& protocol);
    // Leaves the socket watched for reading only, after its connect; false
    // when it could not be taken back (and is closed).
    bool ForgetWriteInterest();
    void AsyncHandshake(const std::string& host, Callback callback);
    void StartWrite(CBYTESubBuffer buffer, WriteCallback callback);
    void OnWriteComplete(const boost::system::error_code& error, std::size_t bytes,
                         std::uint64_t size, const WriteCallback& callback);
    void SendQueued();
    void CompleteQueued(ErrorCode code);
    // Whether the TLS layer holds bytes of the peer's that nobody has read.
    bool TLSHoldsInput();
    void OnReadComplete(const boost::system::error_code& error, std::size_t bytes,
                        const std::shared_ptr<ByteBuffer>& buffer, const ReadCallback& callback);
    // Shuts TLS down when secure, then the socket; calls `done` at the end.
    void ShutdownAndClose(Callback done);
    void CloseSocket();
    void Arm(Deadline& deadline, const char* step);
    void Disarm(Deadline& deadline);
    std::string TimeoutText() const;

    std::shared_ptr<AsyncService> service_;
    std::shared_ptr<AsyncSSLContext> sslContext_;
    std::shared_ptr<INetworkConnectivity> connectivity_;
    std::shared_ptr<IProxyAuthenticator> proxyAuthenticator_;
    std::unique_ptr<common::ILogger> logger_;
    // The proxy scheme in use; kept after a refusal, offered first next time.
    ProxyAuthenticationSession proxyAuthentication_;
    boost::asio::ip::tcp::socket socket_;
    std::unique_ptr<TLSStream> tlsStream_;
    ByteBuffer tunnelInput_;  // see TakeTunnelInput
    std::shared_ptr<HostResolver> resolver_;
    Endpoint endpoint_;
    bool connected_ = false;
    bool secure_ = false;
    bool writing_ = false;
    bool reading_ = false;
    bool closeRequested_ = false;
    bool timedOut_ = false;
    Callback pendingClose_;
    std::uint64_t writeSequence_ = 0;
    std::vector<WriteEntry> writeQueue_;
    std::uint64_t timeout_ = 15000;
    bool keepAlive_ = false;
    Deadline controlDeadline_;  // connect, handshake, TLS shutdown
    Deadline readDeadline_;
    Deadline writeDeadline_;
    boost::signals2::scoped_connection closeConnection_;
};

}  // namespace network
