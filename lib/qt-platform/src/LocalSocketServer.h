#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <memory>
#include <mutex>
#include <string>

#include "ILocalSocketServer.h"
#include "LocalSocketFrameCodec.h"

class QLocalServer;
class QLocalSocket;
class QThread;

// A many-client server living on the Qt thread: it accepts every client,
// passes every message of any client, whole and in order, to one handler and
// writes a message to all connected clients. A client whose stream turns
// unreadable is dropped. Under its name it replaces only a stale socket of its
// own user.
class LocalSocketServer : public QObject, public ILocalSocketServer {
    Q_OBJECT

public:
    LocalSocketServer(QThread* thread, const std::string& name);
    ~LocalSocketServer() override;

    void resetHandler() override;
    void setHandler(Handler handler) override;
    void writeData(const std::string& message) override;

    Q_INVOKABLE void internalListen();
    Q_INVOKABLE void internalWriteData(QString message);

private:
    // Qt thread.
    void onNewConnection();
    void onReadyRead(QLocalSocket* client);
    void onDisconnected(QLocalSocket* client);

    std::mutex handlerMutex_;
    std::shared_ptr<Handler> handler_;
    QLocalServer* listener_;
    QList<QLocalSocket*> clients_;
    QHash<QLocalSocket*, LocalSocketFrameCodec> codecs_;
    QString name_;
};
