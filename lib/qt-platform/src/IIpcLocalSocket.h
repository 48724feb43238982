#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

// One end of a link between two of the product's processes. A client socket
// knows its peer's name from the start; a socket accepted by a server learns
// it from the peer's first message, its greeting. Every callback runs on the
// Qt thread.
class IIpcLocalSocket {
public:
    // (socket, target name, id)
    using SocketConnectCallback =
        std::function<void(IIpcLocalSocket*, const std::string&, unsigned int)>;
    // (socket, target name, message)
    using ReadCallback =
        std::function<void(IIpcLocalSocket*, const std::string&, const std::string&)>;

    // Starts connecting to the socket name, when not connected or connecting.
    virtual void connect() = 0;
    // Connected, and the Qt socket is valid and open.
    virtual bool isValid() const = 0;
    virtual bool isConnected() const = 0;
    virtual bool isFresh() const = 0;
    // Clears the fresh flag; true for exactly one caller.
    virtual bool takeFresh() = 0;
    virtual unsigned int getId() const = 0;
    virtual void setId(unsigned int id) = 0;
    // writeData with wait.
    virtual bool write(const std::string& message) = 0;
    // Hands the message to the Qt thread; with `wait`, returns once it has been
    // written there. False when the socket is not valid, the hand-over failed,
    // or the peer leaves so much unread that the message would not fit the
    // socket's bound of bytes waiting to be written.
    virtual bool writeData(const std::string& message, bool wait) = 0;
    // Each message after the greeting (a client socket has no greeting to read).
    virtual void setReadCallback(ReadCallback callback) = 0;
    // Bounds what the peer costs before its messages are handled: each
    // message handed to the read callback counts its bytes (and a little
    // more) until `handled` gives them back, and while the count is at
    // `bytes` or more the socket reads nothing more from the peer, which
    // then waits. 0, the default: no bound, and `handled` is not called.
    virtual void setReadBound(std::size_t bytes) = 0;
    // Any thread: the message of `bytes` bytes handed to the read callback
    // has been handled.
    virtual void handled(std::size_t bytes) = 0;
    // Called once the bytes waiting to be written fall below the bound
    // again after a write was refused for want of room.
    virtual void setWritableCallback(SocketConnectCallback callback) = 0;
    // A client socket's connection, or an accepted socket's greeting.
    virtual void setConnectCallback(SocketConnectCallback callback) = 0;
    virtual void setDisconnectCallback(SocketConnectCallback callback) = 0;
    virtual void setErrorCallback(SocketConnectCallback callback) = 0;
    virtual void clearCallbacks() = 0;
    // The user of the process at the other end, as the kernel tells it;
    // nothing before a client is connected.
    virtual std::optional<uid_t> peerUser() const = 0;
    virtual const std::string& getSocketName() const = 0;
    virtual const std::string& getTargetName() const = 0;
    // Deletes the socket later on the Qt thread.
    virtual void requestDelete() = 0;

protected:
    virtual ~IIpcLocalSocket() = default;
};
