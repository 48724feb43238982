#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
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
#include "network/WebSocketHandshake.h"
#include "network/WebSocketFrameReader.h"
#include "network/WebSocketOperationCode.h"

class IProxyAuthenticator;

namespace network {

// The client side of an RFC 6455 web socket over the library's own socket:
// connects (TLS for wss and https, through the current proxy when there is
// one), upgrades with an HTTP connection on that socket and checks the
// answer, then writes masked frames and reads the server's, answering pings
// and closes. An answer that refuses the upgrade has its body read and
// dropped as it comes: the response handed on keeps at most its first
// HTTPSunkBody::kKeptStart bytes (none of a content-coded one). Every
// message is bounded by the message limit; a peer that
// breaks the protocol is closed on with the RFC's code. A quiet connection
// is kept as long as the caller wants it: reads have no time-out. No
// callback runs inside the call that started its operation. Always owned by
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
    // Why a 101 answer to the upgrade was refused (reported as 400): the
    // header that did not hold what it must; empty when none was refused.
    const std::string& UpgradeRefusal() const { return upgradeRefusal_; }
    // Sends one frame of any opcode (the interface's Send is a binary one).
    void Send(WebSocketOperationCode opcode, core::NonInitializingBuffer<unsigned char>&& payload,
              SendCallback&& callback);

private:
    // Marks a call of the caller's in progress: what completes meanwhile
    // reports later, from the event loop.
    class CallScope {
    public:
        explicit CallScope(AsyncWebSocket& owner) : owner_(owner) { ++owner_.callDepth_; }
        ~CallScope() { --owner_.callDepth_; }
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;

    private:
        AsyncWebSocket& owner_;
    };

    // Runs `done` now when no call of the caller's is in progress, else
    // posts it.
    template <typename Done>
    void Complete(Done&& done);
    void Negotiate(const URL& url, std::map<std::string, std::string>&& headers,
                   HTTPCallback&& callback);
    void OnUpgraded(const WebSocketHandshake& handshake, HTTPStatusCode status,
                    std::unique_ptr<IHTTPResponse> response, const HTTPCallback& callback);
    // Writes one frame; true when it waits in the socket's write queue.
    bool WriteFrame(WebSocketOperationCode opcode, core::NonInitializingBuffer<unsigned char>&& payload,
                    SendCallback&& callback);
    // Hands a written payload's storage to the reader for a later message.
    void OfferSpent(core::NonInitializingBuffer<unsigned char>&& payload);
    // Writes through the socket's queue, which bounds the write by its time-out.
    void WriteQueued(CBYTESubBuffer&& frame, SendCallback&& callback);
    // Hands the buffered frames to the pending Receive, one after the other
    // as long as the callbacks ask for more, then reads when it needs more.
    // Runs from the event loop only: a Receive made from a callback only
    // leaves its callback for this loop.
    void Pump();
    void PostPump();
    // Where the next read goes: the current data frame's payload room, then
    // the read buffer.
    std::array<boost::asio::mutable_buffer, 2> ReadTarget();
    // Reads a plain socket at once; false when it had nothing (or the read
    // must go through the event loop).
    bool ReadNow();
    void ReadMore();
    // `bytes` is all ones after a wait that only tells of bytes to read.
    void OnReadSome(const boost::system::error_code& error, std::size_t bytes);
    void TakeRead(std::size_t bytes);
    void OnControl(WebSocketOperationCode opcode, core::NonInitializingBuffer<unsigned char>&& payload);
    // Ends the pending Receive with `code` and no payload.
    void EndReceive(ITCPSocket::ErrorCode code);
    // Sends Close with `code`, closes the socket and ends the Receive with 7.
    void Fail(std::uint16_t code);
    // Closes the socket once; `done` runs when it is closed.
    void CloseSocket(std::function<void()> done);
    // Bounds the wait for the peer's Close frame by the socket's time-out.
    void ArmCloseDeadline();
    // The callbacks of frames the socket took at once while a handler ran.
    void ReportWritten();

    std::shared_ptr<AsyncTCPSocket> socket_;
    std::shared_ptr<INetworkConnectivity> connectivity_;
    bool open_ = false;
    // Calls of the caller's in progress (Connect, Send, Receive, Close).
    int callDepth_ = 0;
    // Frames in the socket's write queue; while there are any, new ones
    // queue behind them.
    std::size_t queuedWrites_ = 0;
    // While a handler delivers frames, the callbacks of the frames written
    // at once wait here for its end.
    bool inHandler_ = false;
    std::vector<SendCallback> writtenInHandler_;
    std::vector<SendCallback> reporting_;
    std::unique_ptr<common::ILogger> logger_;
    WebSocketFrameReader reader_;
    // What was read, the bytes behind the 101 first; [bufferBegin_,
    // bufferEnd_) is not yet given to the reader.
    core::NonInitializingBuffer<unsigned char> buffer_;
    std::size_t bufferBegin_ = 0;
    std::size_t bufferEnd_ = 0;
    // The pending read's first part: payload read straight into the
    // message; and what the bytes read there completed, for the pump.
    std::size_t directRead_ = 0;
    std::optional<WebSocketFrameReader::Result> readResult_;
    // The last read of a plain socket, in this turn of the event loop, left
    // it empty: the next one waits for the loop's word first.
    bool drained_ = false;
    // The last message was large: the next one's first read takes its head.
    bool expectLarge_ = false;
    // The pending Receive's callback, kept until it is called.
    ReceiveCallback receiveCallback_;
    bool pumping_ = false;
    bool pumpPosted_ = false;
    bool readPending_ = false;
    // A pong waits in the write queue: no frame is read until it is out.
    bool waitingForPong_ = false;
    // A Close or a failure is closing the socket; the Receive ends then.
    bool ending_ = false;
    std::function<void()> closeAfterRead_;
    bool closeSent_ = false;
    bool socketClosed_ = false;
    std::uint16_t closeCode_ = 1006;
    std::string upgradeRefusal_;
    std::array<unsigned char, 256> maskingKeys_ = {};
    std::size_t keysUsed_ = 256;
    boost::asio::steady_timer closeDeadline_;
};

}  // namespace network
