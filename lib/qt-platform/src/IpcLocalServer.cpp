#include "IpcLocalServer.h"

#include <QDebug>
#include <QLocalServer>
#include <QLoggingCategory>
#include <boost/assert.hpp>

#include "IpcLocalSocket.h"
#include "LocalServerPath.h"

namespace {

Q_LOGGING_CATEGORY(lcIpcLocalServer, "IpcLocalServer")

}  // namespace

IpcLocalServer::IpcLocalServer(const std::string& name, QThread* thread,
                               ConnectCallback connectCallback)
    : name_(name),
      _parentThread(thread),
      connectCallback_(std::move(connectCallback)),
      listener_(new QLocalServer(this)) {
    BOOST_ASSERT_MSG(_parentThread, "_parentThread should not be null");
    moveToThread(_parentThread);
    if (!QMetaObject::invokeMethod(
            this, [this] { internalListen(); }, Qt::QueuedConnection)) {
        qCCritical(lcIpcLocalServer) << "failed to call internalListen";
    }
}

IpcLocalServer::~IpcLocalServer() {
    listener_->close();
}

void IpcLocalServer::setConnectCallback(ConnectCallback callback) {
    std::lock_guard lock(callbackMutex_);
    connectCallback_ = std::move(callback);
}

void IpcLocalServer::close() {
    accepting_.exchange(false);
    if (!QMetaObject::invokeMethod(
            this, [this] { internalClose(); }, Qt::QueuedConnection)) {
        qCCritical(lcIpcLocalServer) << "failed to call internalClose";
    }
}

void IpcLocalServer::requestDelete() {
    deleteLater();
}

void IpcLocalServer::internalListen() {
    if (!accepting_) {
        return;
    }
    listener_->setSocketOptions(QLocalServer::WorldAccessOption);
    QObject::connect(listener_, &QLocalServer::newConnection, this,
                     &IpcLocalServer::onNewConnection);
    const QString name = QString::fromStdString(name_);
    if (LocalServerPath::isTaken(name)) {
        qCInfo(lcIpcLocalServer) << "Address " << name << " already in use. Try removing server.";
        if (QString refusal; !LocalServerPath::removeStaleSocket(name, refusal)) {
            qCCritical(lcIpcLocalServer)
                << "Failed to start socket server listening, error:" << refusal;
            return;
        }
    }
    listener_->listen(name);
    if (listener_->isListening()) {
        qCInfo(lcIpcLocalServer) << "Socket server is listening on " << name
                                 << " full name: " << listener_->fullServerName();
    } else {
        qCCritical(lcIpcLocalServer)
            << "Failed to start socket server listening, error:" << listener_->errorString();
    }
}

void IpcLocalServer::onNewConnection() {
    while (QLocalSocket* socket = listener_->nextPendingConnection()) {
        auto accepted =
            IpcLocalSocket::makeHandle(new IpcLocalSocket(socket, name_, _parentThread));
        if (!accepting_) {
            continue;  // released: the connection closes
        }
        ConnectCallback callback;
        {
            std::lock_guard lock(callbackMutex_);
            callback = connectCallback_;
        }
        if (!callback) {
            qCWarning(lcIpcLocalServer) << "Connect callback is empty, closing the accepted socket";
            continue;
        }
        callback(std::move(accepted));
    }
}

void IpcLocalServer::internalClose() {
    listener_->close();
}
