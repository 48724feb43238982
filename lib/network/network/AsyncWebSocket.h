#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/steady_timer.hpp>

#include "common/logging/ILogger.h"
#include "core/SharedFromThis.h"
#include "network/AsyncSSLContext.h"
#include "network/AsyncService.h"
#include "network/AsyncTCPSocket.h"
#include "network/INetworkConnectivity.h"
#include "network/IWebSocket.h"
#include "network/URL.h"
#include "network/WebSocketFrameReader.h"
#include "network/WebSocketOperationCode.h"

class IProxyAuthenticator;

namespace network {

// The client side of an RFC 6455 web socket over the library's own socket:
// connects (TLS for wss and https, through the current proxy when there is
// one), upgrades with an HTTP connection on that socket and checks the
// accept value, then writes masked frames and reads the server's, answering
// pings and closes. Every message is bounded by the message limit; a peer
// that breaks the protocol is closed on with the RFC's code. Always owned by
// a shared pointer: each pending step holds the object alive. Runs on the
// service's thread only.
class AsyncWebSocket : public IWebSocket, public core::SharedFromThis {
public:
    AsyncWebSocket(std::shared_ptr<AsyncService> service, std::shared_ptr<AsyncSSLContext> sslContext,
                   std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                   std::shared_ptr<INetworkConnectivity> connectivity);
    ~AsyncWebSocket() override;

    void Connect(const std::string& url, HTTPCallback&& callback) override;
    void Connect(const std::string& url, std::map<std::string, std::string>&& headers,
                 HTTPCallback&& callback) override;
    void Send(core::NonInitializingBuffer<unsigned char>&& payload, SendCallback&& callback) override;
    void Receive(ReceiveCallback&& callback) override;
    void Close(std::function<void()>&& callback) override;

    // The largest message accepted (all its fragments together); a larger
    // one is refused with Close 1009 and ends the pending Receive with 7.
    void SetMessageLimit(std::uint64_t bytes) { reader_.SetMessageLimit(bytes); }
    std::shared_ptr<AsyncTCPSocket> GetSocket() const { return socket_; }
    bool IsOpen() const { return open_; }
    // The close code of the connection once it has ended: the one in the
    // peer's Close frame (1005 when it carried none), the one this side
    // failed the connection with, or 1006 when no Close frame was read.
    std::uint16_t CloseCode() const { return closeCode_; }
    // Sends one frame of any opcode (the interface's Send is a binary one).
    void Send(WebSocketOperationCode opcode, core::NonInitializingBuffer<unsigned char>&& payload,
              SendCallback&& callback);

private:
    void Negotiate(const URL& url, std::map<std::string, std::string>&& headers,
                   HTTPCallback&& callback);
    // Writes through the socket's queue, which bounds the write by its time-out.
    void WriteQueued(core::NonInitializingBuffer<unsigned char>&& frame, SendCallback&& callback);
    void OnUpgraded(const std::string& expectedAccept, HTTPStatusCode status,
                    std::unique_ptr<IHTTPResponse> response, const HTTPCallback& callback);
    // Hands the buffered bytes to the reader, or reads what the current
    // framing step still needs.
    void ReceiveNext(ReceiveCallback callback);
    void ReadMore(ReceiveCallback callback);
    void OnReadSome(const boost::system::error_code& error, std::size_t bytes, ReceiveCallback callback);
    // Each read may take the socket's time-out.
    void ArmReadDeadline();
    void WaitForReadDeadline(std::chrono::steady_clock::time_point deadline);
    void Dispatch(WebSocketFrameReader::Result result, ReceiveCallback callback);
    void OnControl(WebSocketOperationCode opcode, core::NonInitializingBuffer<unsigned char>&& payload,
                   ReceiveCallback callback);
    // Sends Close with `code`, closes the socket and ends the Receive with 7.
    void Fail(std::uint16_t code, ReceiveCallback callback);
    // Closes the socket once; `done` runs when it is closed.
    void CloseSocket(std::function<void()> done);
    // Bounds the wait for the peer's Close frame by the socket's time-out.
    void ArmCloseDeadline();

    std::shared_ptr<AsyncTCPSocket> socket_;
    std::shared_ptr<INetworkConnectivity> connectivity_;
    bool open_ = false;
    // Frames in the socket's write queue; while there are any, new ones
    // queue behind them.
    std::size_t queuedWrites_ = 0;
    // While the read handler runs, the callbacks of the frames written at
    // once wait here for its end.
    bool inReadHandler_ = false;
    std::vector<SendCallback> writtenInReadHandler_;
    std::unique_ptr<common::ILogger> logger_;
    WebSocketFrameReader reader_;
    // What was read, the bytes behind the 101 first; [bufferBegin_,
    // bufferEnd_) is not yet given to the reader.
    core::NonInitializingBuffer<unsigned char> buffer_;
    std::size_t bufferBegin_ = 0;
    std::size_t bufferEnd_ = 0;
    bool readPending_ = false;
    bool readTimedOut_ = false;
    bool readDeadlineArmed_ = false;
    std::chrono::steady_clock::time_point readStarted_;
    std::function<void()> closeAfterRead_;
    bool closeSent_ = false;
    bool socketClosed_ = false;
    std::uint16_t closeCode_ = 1006;
    std::array<unsigned char, 256> maskingKeys_ = {};
    std::size_t keysUsed_ = 256;
    boost::asio::steady_timer closeDeadline_;
    boost::asio::steady_timer readDeadline_;
};

}  // namespace network
