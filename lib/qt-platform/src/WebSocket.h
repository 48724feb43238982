#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QSslError>
#include <QString>
#include <memory>
#include <mutex>

#include "IWebSocket.h"

class QAuthenticator;
class QNetworkProxy;
class QThread;
class QWebSocket;
class ProxyAuthenticator;

namespace common {
struct StructuredRecord;
class ILogger;
class ITaskQueue;
namespace metrics {
class IMetricsCollector;
}
}  // namespace common

Q_DECLARE_METATYPE(IWebSocket::MessageSentHandler)

// A web-socket client over a QWebSocket. The object lives on the Qt thread:
// the caller's thread configures it and posts the openings, sends and pings;
// the connection's signals are handled on the Qt thread and reach the caller
// as tasks of the socket's own queue, each holding the handler set only
// weakly. Every connect and every end of a connection attempt is written as a
// metrics event ("websocket-connected", "websocket-disconnected") on the
// logger "WebSocket".
class WebSocket : public QObject, public IWebSocket {
    Q_OBJECT

public:
    // The user's handlers. Replacing the set cancels every report posted with
    // the old one and not yet run.
    struct Handlers {
        BinaryMessageHandler binaryMessage;
        TextMessageHandler textMessage;
        ConnectedHandler connected;
        DisconnectedHandler disconnected;
        ErrorHandler error;
        SslErrorsHandler sslErrors;
        PongHandler pong;
        ProxyAuthenticationRequiredHandler proxyAuthenticationRequired;
    };

    static constexpr const char* kQueueName = "QtCorePlatform::WebSocket";

    // The queue is the socket's own; the authenticator is the platform's.
    WebSocket(QThread* qtThread, std::shared_ptr<ProxyAuthenticator> proxyAuthenticator,
              std::unique_ptr<common::ITaskQueue> queue);
    // On the Qt thread: drops the reports not yet run and closes the
    // connection without a report.
    ~WebSocket() override;

    void open(const std::string& url) override;
    void close() override;
    void setHeader(const std::string& name, const std::string& value) override;
    void setProxyCredentials(const std::wstring& user, const std::wstring& password) override;
    void sendBinaryMessage(const std::vector<std::uint8_t>& data,
                           MessageSentHandler handler) override;
    void sendTextMessage(const std::string& text, MessageSentHandler handler) override;
    void ping(const std::vector<std::uint8_t>& payload) override;
    void setIgnoredSslErrors(const std::vector<int>& codes) override;
    void resetHandlers() override;
    void setBinaryMessageHandler(BinaryMessageHandler handler) override;
    void setTextMessageHandler(TextMessageHandler handler) override;
    void setConnectedHandler(ConnectedHandler handler) override;
    void setDisconnectedHandler(DisconnectedHandler handler) override;
    void setErrorHandler(ErrorHandler handler) override;
    void setSslErrorsHandler(SslErrorsHandler handler) override;
    void setPongHandler(PongHandler handler) override;
    void setProxyAuthenticationRequiredHandler(ProxyAuthenticationRequiredHandler handler) override;

    // The URL that an opening of `url` uses: an "https" scheme (any case)
    // becomes "wss"; nothing else changes.
    static QString webSocketUrl(const std::string& url);

public slots:
    void internalSendBinaryMessage(QByteArray data, IWebSocket::MessageSentHandler handler);
    void internalSendTextMessage(QString message, IWebSocket::MessageSentHandler handler);
    void internalPing(QByteArray payload);

private:
    // On the Qt thread.
    void internalOpen(const QNetworkRequest& request);
    void internalClose();
    void onWebSocketConnected();
    void onWebSocketDisconnected();
    void onWebSocketError(QAbstractSocket::SocketError error);
    void onWebSocketSslErrors(const QList<QSslError>& errors);
    void onWebSocketPong(quint64 elapsedTime, const QByteArray& payload);
    void onWebSocketTextMessageReceived(const QString& message);
    void onWebSocketBinaryMessageReceived(const QByteArray& message);
    void onWebSocketProxyAuthenticationRequired(const QNetworkProxy& proxy,
                                                QAuthenticator* authenticator);
    // The end of connection attempt `attempt`: the metrics event and the
    // disconnected handler, once per attempt.
    void webSocketDisconnected(int attempt);
    bool endReported() const { return reportedAttempt_ >= attempt_; }
    void reportMessageSent(bool sent, const MessageSentHandler& handler);
    // A metrics event with the fields that both events have.
    common::StructuredRecord metricsRecord(const char* event) const;

    template <class Member>
    void setHandler(Member Handlers::*member, Member handler);
    template <class Member>
    bool hasHandler(Member Handlers::*member) const;
    // Posts `call` with the current set, if `member` of it is set; the task
    // calls it with the set when the set still exists.
    template <class Member, class Call>
    void post(Member Handlers::*member, Call call);

    QWebSocket* const socket_;
    // The URL and headers of the next opening; the caller's thread only.
    QNetworkRequest request_;
    const std::shared_ptr<ProxyAuthenticator> proxyAuthenticator_;
    const std::unique_ptr<common::ITaskQueue> queue_;

    mutable std::mutex ignoredSslErrorsMutex_;
    QList<QSslError::SslError> ignoredSslErrors_;

    const std::unique_ptr<common::ILogger> logger_;
    const std::unique_ptr<common::metrics::IMetricsCollector> metrics_;

    // The Qt thread's view of the connections: the number of the current
    // attempt (each opening starts one), the last attempt whose end was
    // reported, whether the current one is connected and whether it handed
    // the proxy credentials.
    int attempt_ = 0;
    int reportedAttempt_ = -1;
    bool connected_ = false;
    bool credentialsHanded_ = false;

    mutable std::mutex handlersMutex_;
    std::shared_ptr<Handlers> handlers_;
};
