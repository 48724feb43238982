#pragma once

#include <functional>
#include <memory>
#include <string>

#include "IIpcLocalSocket.h"

class QThread;
class IIpcLocalServer;

// The local-socket side of the Qt door that the inter-process layer uses: it
// makes IPC sockets and servers, whose callbacks run on the Qt thread.
class IIpcQtSocketPlugin {
public:
    // Releasing the handle deletes the object later, on the Qt thread.
    using IpcLocalSocketPtr =
        std::unique_ptr<IIpcLocalSocket, std::function<void(IIpcLocalSocket*)>>;
    using IpcLocalServerPtr =
        std::unique_ptr<IIpcLocalServer, std::function<void(IIpcLocalServer*)>>;
    // Receives each accepted socket, with its ownership.
    using ServerConnectCallback = std::function<void(IpcLocalSocketPtr)>;

    // The thread on which the created objects live.
    virtual void initThread(QThread* thread) = 0;
    virtual ~IIpcQtSocketPlugin() = default;
    // A client socket that starts connecting to `socketName` at once.
    virtual IpcLocalSocketPtr createIpcLocalSocket(
        const std::string& socketName, const std::string& targetName,
        IIpcLocalSocket::SocketConnectCallback connectCallback) const = 0;
    // A server that listens under `name`, accessible to every local user.
    virtual IpcLocalServerPtr createIpcLocalServer(const std::string& name,
                                                   ServerConnectCallback connectCallback) const = 0;
};
