#pragma once

#include "IIpcLocalServer.h"
#include "IIpcQtSocketPlugin.h"

// Makes the IPC sockets and servers on the Qt thread given to initThread. It
// keeps no list of what it made: each object belongs to the caller's handle.
class IpcQtSocketPlugin : public IIpcQtSocketPlugin {
public:
    explicit IpcQtSocketPlugin(QThread* mainThread = nullptr) : _mainThread(mainThread) {}

    void initThread(QThread* mainThread) override;
    IpcLocalSocketPtr createIpcLocalSocket(
        const std::string& socketName, const std::string& targetName,
        IIpcLocalSocket::SocketConnectCallback connectCallback) const override;
    IpcLocalServerPtr createIpcLocalServer(const std::string& name,
                                           ServerConnectCallback connectCallback) const override;

private:
    QThread* _mainThread;
};
