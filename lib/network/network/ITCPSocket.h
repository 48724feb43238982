#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "network/CBYTESubBuffer.h"

namespace network {

// An outgoing TCP connection, optionally in TLS. Every operation reports
// once through its callback with an ErrorCode.
class ITCPSocket {
public:
    using ErrorCode = std::uint32_t;
    static constexpr ErrorCode kSuccess = 0;
    static constexpr ErrorCode kResolveFailed = 1;
    static constexpr ErrorCode kConnectFailed = 2;
    static constexpr ErrorCode kHandshakeFailed = 3;
    static constexpr ErrorCode kProxyAuthenticationRequired = 4;
    static constexpr ErrorCode kProxyConnectFailed = 5;
    static constexpr ErrorCode kWriteFailed = 6;
    static constexpr ErrorCode kReadFailed = 7;
    static constexpr ErrorCode kClosed = 9;
    static constexpr ErrorCode kNetworkUnavailable = 10;

    using Callback = std::function<void(ErrorCode)>;
    using WriteCallback = std::function<void(ErrorCode, std::uint64_t)>;
    using ReadCallback = std::function<void(ErrorCode, CBYTESubBuffer&&)>;

    // Time-out of connect, handshake, each read and write, and the TLS
    // shutdown, in milliseconds.
    virtual void SetTimeout(std::uint64_t milliseconds) = 0;
    virtual void SetKeepAlive(bool keepAlive) = 0;
    virtual void AsyncConnect(const std::string& host, std::uint16_t port, bool ssl,
                              Callback callback) = 0;
    virtual void AsyncConnect(const std::string& host, std::uint16_t port, bool ssl,
                              const std::string& proxyHost, std::uint16_t proxyPort,
                              Callback callback) = 0;
    // The callback may be empty.
    virtual void AsyncClose(Callback callback) = 0;
    // A write without a priority is urgent.
    virtual void AsyncWrite(CBYTESubBuffer buffer, WriteCallback callback) = 0;
    virtual void AsyncWrite(CBYTESubBuffer buffer, bool priority, WriteCallback callback) = 0;
    // Exactly `size` bytes, or an error.
    virtual void AsyncRead(std::uint64_t size, ReadCallback callback) = 0;
    virtual ~ITCPSocket() = default;
};

}  // namespace network
