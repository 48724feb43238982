#pragma once

#include <QObject>
#include <atomic>
#include <mutex>
#include <string>

#include "IIpcLocalServer.h"

class QLocalServer;
class QThread;

// Listens under a name on the Qt thread, the socket file open to every local
// user, and hands each accepted connection as an accepted IpcLocalSocket to
// the connect callback. A stale socket of its own user under the name is
// replaced; anything else found there is left alone and the server does not
// listen.
class IpcLocalServer : public QObject, public IIpcLocalServer {
    Q_OBJECT

public:
    IpcLocalServer(const std::string& name, QThread* thread, ConnectCallback connectCallback);
    ~IpcLocalServer() override;

    void setConnectCallback(ConnectCallback callback) override;
    void close() override;
    void requestDelete() override;

private:
    // Qt thread.
    void internalListen();
    void onNewConnection();
    void internalClose();

    std::string name_;
    QThread* _parentThread;
    std::mutex callbackMutex_;
    ConnectCallback connectCallback_;
    QLocalServer* listener_;
    std::atomic<bool> accepting_{true};
};
