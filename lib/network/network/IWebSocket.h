#pragma once

#include <functional>
#include <map>
#include <string>

#include "core/NonInitializingBuffer.h"
#include "network/HTTPStatusCode.h"
#include "network/ITCPSocket.h"

namespace network {

// The client side of a web socket (RFC 6455). Every operation reports once
// through its callback, never from inside the call that started it.
class IWebSocket {
public:
    using SendCallback = std::function<void(ITCPSocket::ErrorCode)>;
    using ReceiveCallback =
        std::function<void(ITCPSocket::ErrorCode, core::NonInitializingBuffer<unsigned char>&&)>;
    // What a Receive made while another is pending gets; the pending one
    // goes on as if nothing had happened.
    static constexpr ITCPSocket::ErrorCode kReceivePending = 11;

    // Connects and upgrades; the callback gets 101 and the response once the
    // socket is open, otherwise the failure's status (407, 3, 400 or the
    // server's) and the response when there was one.
    virtual void Connect(const std::string& url, HTTPCallback&& callback) = 0;
    // The same with extra request headers, sent after the protocol's own.
    virtual void Connect(const std::string& url, std::map<std::string, std::string>&& headers,
                         HTTPCallback&& callback) = 0;
    // Sends one binary message.
    virtual void Send(core::NonInitializingBuffer<unsigned char>&& payload,
                      SendCallback&& callback) = 0;
    // Delivers the next message (0 and its bytes), or ends the stream: 9
    // once the closing handshake has finished, 7 when the peer broke the
    // protocol or sent more than the message limit, or the socket's error.
    // One Receive at a time (a second one gets kReceivePending); the next
    // may be made from the callback. Pings are answered only while a
    // Receive is pending.
    virtual void Receive(ReceiveCallback&& callback) = 0;
    // Starts the closing handshake; the callback runs once the Close frame is
    // written, whatever the outcome.
    virtual void Close(std::function<void()>&& callback) = 0;
    virtual ~IWebSocket() = default;
};

}  // namespace network
