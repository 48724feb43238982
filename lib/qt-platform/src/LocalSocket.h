#pragma once

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <mutex>

#include "ILocalSocket.h"
#include "LocalSocketFrameCodec.h"

class QThread;
class QTimer;

// The reconnecting client end of a local-socket link, living on the Qt
// thread. While it has no connection it tries again every reconnect interval
// and keeps what is written; on connecting it sends the kept messages first,
// in order, before anything written later. Every message received, whole and
// in order, goes to the handler. Socket errors are logged at most once per
// kErrorLogIntervalMs.
class LocalSocket : public QObject, public ILocalSocket {
    Q_OBJECT

public:
    static constexpr int kReconnectIntervalMs = 3000;
    static constexpr qint64 kErrorLogIntervalMs = 180000;

    explicit LocalSocket(QThread* thread, int reconnectIntervalMs = kReconnectIntervalMs);
    // On the Qt thread: closes the connection without telling itself.
    ~LocalSocket() override;

    void connect(const std::string& serverName) override;
    void disconnect() override;
    void write(const std::string& message) override;
    void resetHandler() override;
    void setHandler(Handler handler) override;
    void flush() override;

    Q_INVOKABLE void internalWrite(QString message);

private:
    QString serverName() const;
    std::shared_ptr<Handler> handler() const;

    // Qt thread.
    void internalConnect();
    void sendFrame(const QString& message);
    void onConnected();
    void onDisconnected();
    void onError(QLocalSocket::LocalSocketError error);
    void onReadyRead();

    QLocalSocket* socket_;
    mutable std::mutex mutex_;
    QString serverName_;
    std::shared_ptr<Handler> handler_;
    QStringList pending_;
    QElapsedTimer errorLogClock_;
    QTimer* reconnectTimer_;
    const int reconnectIntervalMs_;
    LocalSocketFrameCodec codec_;
};
