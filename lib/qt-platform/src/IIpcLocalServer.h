#pragma once

#include "IIpcQtSocketPlugin.h"

// Listens under a name and hands every accepted connection, as an accepted
// IPC socket, to its connect callback on the Qt thread.
class IIpcLocalServer {
public:
    using ConnectCallback = IIpcQtSocketPlugin::ServerConnectCallback;

    virtual void setConnectCallback(ConnectCallback callback) = 0;
    // Stops accepting at once; the listener closes on the Qt thread. Sockets
    // handed out already are not affected.
    virtual void close() = 0;
    // Deletes the server later, on the Qt thread.
    virtual void requestDelete() = 0;

protected:
    virtual ~IIpcLocalServer() = default;
};
