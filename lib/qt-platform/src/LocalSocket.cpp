#include "LocalSocket.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>

#include "QtStrings.h"

namespace {

Q_LOGGING_CATEGORY(lcLocalSocket, "LocalSocket")

}  // namespace

LocalSocket::LocalSocket(QThread* thread, int reconnectIntervalMs)
    : socket_(new QLocalSocket()),
      handler_(std::make_shared<Handler>()),
      reconnectTimer_(new QTimer(this)),
      reconnectIntervalMs_(reconnectIntervalMs) {
    moveToThread(thread);
    socket_->moveToThread(thread);
    QObject::connect(socket_, &QLocalSocket::connected, this, &LocalSocket::onConnected);
    QObject::connect(socket_, &QLocalSocket::disconnected, this, &LocalSocket::onDisconnected);
    QObject::connect(socket_, &QLocalSocket::errorOccurred, this, &LocalSocket::onError);
    QObject::connect(socket_, &QLocalSocket::readyRead, this, &LocalSocket::onReadyRead);
    QObject::connect(reconnectTimer_, &QTimer::timeout, this, &LocalSocket::internalConnect);
    if (!QMetaObject::invokeMethod(
            this, [this] { reconnectTimer_->start(reconnectIntervalMs_); }, Qt::QueuedConnection)) {
        qCCritical(lcLocalSocket) << "failed to start reconnect localsocket timer";
    }
}

LocalSocket::~LocalSocket() {
    QObject::disconnect(socket_, nullptr, this, nullptr);
    delete socket_;
}

void LocalSocket::connect(const std::string& serverName) {
    {
        std::lock_guard lock(mutex_);
        serverName_ = QString::fromStdString(serverName);
    }
    if (!QMetaObject::invokeMethod(
            this, [this] { internalConnect(); }, Qt::QueuedConnection)) {
        qCCritical(lcLocalSocket) << "failed to call internalConnect";
    }
}

void LocalSocket::disconnect() {
    if (!QMetaObject::invokeMethod(
            this, [this] { socket_->disconnectFromServer(); }, Qt::QueuedConnection)) {
        qCCritical(lcLocalSocket) << "failed to call internalDisconnect";
    }
}

void LocalSocket::write(const std::string& message) {
    if (!QMetaObject::invokeMethod(this, "internalWrite", Qt::QueuedConnection,
                                   Q_ARG(QString, QString::fromStdString(message)))) {
        qCCritical(lcLocalSocket) << "failed to call internalWrite";
    }
}

void LocalSocket::flush() {
    if (!QMetaObject::invokeMethod(
            this, [this] { socket_->flush(); }, Qt::QueuedConnection)) {
        qCCritical(lcLocalSocket) << "failed to call flush";
    }
}

void LocalSocket::resetHandler() {
    auto fresh = std::make_shared<Handler>();
    std::lock_guard lock(mutex_);
    handler_.swap(fresh);
}

void LocalSocket::setHandler(Handler handler) {
    auto fresh = std::make_shared<Handler>(std::move(handler));
    std::lock_guard lock(mutex_);
    handler_.swap(fresh);
}

QString LocalSocket::serverName() const {
    std::lock_guard lock(mutex_);
    return serverName_;
}

std::shared_ptr<LocalSocket::Handler> LocalSocket::handler() const {
    std::lock_guard lock(mutex_);
    return handler_;
}

void LocalSocket::internalConnect() {
    if (socket_->state() == QLocalSocket::UnconnectedState) {
        socket_->connectToServer(serverName(), QIODevice::ReadWrite);
    }
}

void LocalSocket::internalWrite(QString message) {
    if (!LocalSocketFrameCodec::fits(message)) {
        qCCritical(lcLocalSocket) << "Message too long for a frame, dropped:" << message.size()
                                  << "characters";
    } else if (socket_->state() != QLocalSocket::ConnectedState) {
        pending_.append(message);
        internalConnect();
    } else if (!socket_->isOpen()) {
        pending_.append(message);
    } else {
        sendFrame(message);
    }
}

void LocalSocket::sendFrame(const QString& message) {
    if (socket_->write(LocalSocketFrameCodec::encode(message)) == -1) {
        qCCritical(lcLocalSocket) << "Local socket write error occurred";
    }
}

void LocalSocket::onConnected() {
    qCInfo(lcLocalSocket) << "Connected local socket:" << serverName()
                          << ", number of buffered messages:" << pending_.size()
                          << ", sending them now";
    reconnectTimer_->stop();
    codec_.reset();
    // Written here, on the connection's own turn, so that they reach the
    // server before anything posted after them.
    const QStringList waiting = std::exchange(pending_, {});
    for (const QString& message : waiting) {
        sendFrame(message);
    }
}

void LocalSocket::onDisconnected() {
    qCInfo(lcLocalSocket) << "Disconnected local socket:" << serverName();
    reconnectTimer_->start(reconnectIntervalMs_);
}

void LocalSocket::onError(QLocalSocket::LocalSocketError error) {
    if (errorLogClock_.isValid() && !errorLogClock_.hasExpired(kErrorLogIntervalMs)) {
        return;
    }
    qCInfo(lcLocalSocket) << "Local socket anomaly occurred:" << error << "-"
                          << socket_->errorString();
    qCDebug(lcLocalSocket) << "Socket name:" << serverName();
    errorLogClock_.start();
}

void LocalSocket::onReadyRead() {
    const std::vector<QString> messages = codec_.feed(socket_->readAll());
    const QString corruption = codec_.isCorrupt() ? codec_.error() : QString();
    const std::shared_ptr<Handler> current = handler();
    for (const QString& text : messages) {
        if (*current) {
            (*current)(qStringToStdString(text));
        }
    }
    if (!corruption.isEmpty()) {
        qCWarning(lcLocalSocket) << "Dropping the connection, unreadable data:" << corruption;
        socket_->abort();
    }
}
