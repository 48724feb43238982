#include "LocalSocketServer.h"

#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>

#include "LocalServerPath.h"
#include "QtStrings.h"

namespace {

Q_LOGGING_CATEGORY(lcLocalSocketServer, "LocalSocketServer")

}  // namespace

LocalSocketServer::LocalSocketServer(QThread* thread, const std::string& name)
    : handler_(std::make_shared<Handler>()),
      listener_(new QLocalServer(this)),
      name_(QString::fromStdString(name)) {
    moveToThread(thread);
    if (!QMetaObject::invokeMethod(this, "internalListen", Qt::QueuedConnection)) {
        qCCritical(lcLocalSocketServer) << "failed to call internalListen";
    }
}

LocalSocketServer::~LocalSocketServer() {
    qCInfo(lcLocalSocketServer) << "Destroy LocalSocketServer.";
    // The clients go with the listener; their closing is no news to us.
    for (QLocalSocket* client : clients_) {
        QObject::disconnect(client, nullptr, this, nullptr);
    }
    delete listener_;
}

void LocalSocketServer::resetHandler() {
    auto fresh = std::make_shared<Handler>();
    std::lock_guard lock(handlerMutex_);
    handler_.swap(fresh);
}

void LocalSocketServer::setHandler(Handler handler) {
    auto fresh = std::make_shared<Handler>(std::move(handler));
    std::lock_guard lock(handlerMutex_);
    handler_.swap(fresh);
}

void LocalSocketServer::writeData(const std::string& message) {
    if (!QMetaObject::invokeMethod(this, "internalWriteData", Qt::QueuedConnection,
                                   Q_ARG(QString, QString::fromStdString(message)))) {
        qCCritical(lcLocalSocketServer) << "failed to call internalWriteData";
    }
}

void LocalSocketServer::internalListen() {
    listener_->setSocketOptions(QLocalServer::WorldAccessOption);
    QObject::connect(listener_, &QLocalServer::newConnection, this,
                     &LocalSocketServer::onNewConnection);
    if (LocalServerPath::isTaken(name_)) {
        qCCritical(lcLocalSocketServer) << "Failed to start socket server listening, error:"
                                        << "address in use:" << name_;
        QString refusal;
        QString removed;
        if (!LocalServerPath::takePlace(name_, refusal, removed)) {
            qCCritical(lcLocalSocketServer)
                << "Failed to start socket server listening for the second time, error:" << refusal;
            return;
        }
        if (!removed.isEmpty()) {
            qCWarning(lcLocalSocketServer) << "Took" << name_ << "back: removed" << removed;
        }
        if (listener_->listen(name_)) {
            qCInfo(lcLocalSocketServer)
                << "Successfully removed used socket server, socket server is listening";
        } else {
            qCCritical(lcLocalSocketServer)
                << "Failed to start socket server listening for the second time, error:"
                << listener_->errorString();
        }
        return;
    }
    if (listener_->listen(name_)) {
        qCInfo(lcLocalSocketServer) << "Socket server is listening.";
    } else {
        qCCritical(lcLocalSocketServer)
            << "Failed to start socket server listening, error:" << listener_->errorString();
    }
}

void LocalSocketServer::onNewConnection() {
    qCInfo(lcLocalSocketServer) << "New local socket connection.";
    while (QLocalSocket* client = listener_->nextPendingConnection()) {
        clients_.append(client);
        codecs_.insert(client, LocalSocketFrameCodec());
        QObject::connect(client, &QLocalSocket::readyRead, this,
                         [this, client] { onReadyRead(client); });
        QObject::connect(client, &QLocalSocket::disconnected, this,
                         [this, client] { onDisconnected(client); });
    }
}

void LocalSocketServer::onReadyRead(QLocalSocket* client) {
    auto codec = codecs_.find(client);
    if (codec == codecs_.end()) {
        return;
    }
    const std::vector<QString> messages = codec->feed(client->readAll());
    const QString corruption = codec->isCorrupt() ? codec->error() : QString();
    std::shared_ptr<Handler> handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = handler_;
    }
    for (const QString& text : messages) {
        if (*handler) {
            (*handler)(qStringToStdString(text));
        }
    }
    if (!corruption.isEmpty()) {
        qCWarning(lcLocalSocketServer) << "Dropping a client, unreadable data:" << corruption;
        client->abort();
    }
}

void LocalSocketServer::onDisconnected(QLocalSocket* client) {
    qCInfo(lcLocalSocketServer) << "Socket disconnected.";
    if (!clients_.removeOne(client)) {
        qCWarning(lcLocalSocketServer)
            << "Could not remove socket connection from connection list.";
    }
    codecs_.remove(client);
    QObject::disconnect(client, nullptr, this, nullptr);
    client->close();
    client->deleteLater();
}

void LocalSocketServer::internalWriteData(QString message) {
    if (!LocalSocketFrameCodec::fits(message)) {
        qCCritical(lcLocalSocketServer)
            << "Message too long for a frame, dropped:" << message.size() << "characters";
        return;
    }
    const QByteArray frame = LocalSocketFrameCodec::encode(message);
    for (QLocalSocket* client : clients_) {
        if (client->state() != QLocalSocket::ConnectedState) {
            qCCritical(lcLocalSocketServer)
                << "Local socket write failed because the socket is not in connected state";
        } else if (!client->isOpen()) {
            qCCritical(lcLocalSocketServer)
                << "Local socket write failed because the socket is closed";
        } else if (client->write(frame) == -1) {
            qCCritical(lcLocalSocketServer) << "Local socket write error occured";
        }
    }
}
