#include "WebSocket.h"

#include <QAuthenticator>
#include <QDebug>
#include <QMetaObject>
#include <QNetworkProxy>
#include <QThread>
#include <QUrl>
#include <QWebSocket>
#include <boost/assert.hpp>
#include <chrono>
#include <cstdio>

#include "ApplicationProxy.h"
#include "LoggingCategories.h"
#include "ProxyAuthenticator.h"
#include "ProxyChallenge.h"
#include "QtStrings.h"
#include "SslErrorFilter.h"
#include "WebSocketErrors.h"
#include "common/logging/ILogger.h"
#include "common/logging/StructuredRecord.h"
#include "common/metrics/LocalSocketMetricsCollector.h"
#include "common/taskscheduler/ITaskQueue.h"

namespace {

constexpr std::size_t kMaxPingPayload = 125;

QByteArray toBytes(const std::vector<std::uint8_t>& data) {
    return QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()));
}

std::vector<std::uint8_t> fromBytes(const QByteArray& bytes) {
    return std::vector<std::uint8_t>(bytes.constBegin(), bytes.constEnd());
}

}  // namespace

WebSocket::WebSocket(QThread* qtThread, std::shared_ptr<ProxyAuthenticator> proxyAuthenticator,
                     std::unique_ptr<common::ITaskQueue> queue)
    : socket_(new QWebSocket(QString(), QWebSocketProtocol::Version13, nullptr)),
      proxyAuthenticator_(std::move(proxyAuthenticator)),
      queue_(std::move(queue)),
      logger_(common::createLogger("WebSocket")),
      metrics_(std::make_unique<common::metrics::LocalSocketMetricsCollector>(*logger_)),
      handlers_(std::make_shared<Handlers>()) {
    static std::once_flag registered;
    std::call_once(registered, [] {
        qRegisterMetaType<IWebSocket::MessageSentHandler>("IWebSocket::MessageSentHandler");
    });
    socket_->moveToThread(qtThread);
    moveToThread(qtThread);
    connect(socket_, &QWebSocket::connected, this, &WebSocket::onWebSocketConnected);
    connect(socket_, &QWebSocket::disconnected, this, &WebSocket::onWebSocketDisconnected);
    connect(socket_, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &WebSocket::onWebSocketError);
    connect(socket_, &QWebSocket::sslErrors, this, &WebSocket::onWebSocketSslErrors);
    connect(socket_, &QWebSocket::pong, this, &WebSocket::onWebSocketPong);
    connect(socket_, &QWebSocket::textMessageReceived, this,
            &WebSocket::onWebSocketTextMessageReceived);
    connect(socket_, &QWebSocket::binaryMessageReceived, this,
            &WebSocket::onWebSocketBinaryMessageReceived);
    connect(socket_, &QWebSocket::proxyAuthenticationRequired, this,
            &WebSocket::onWebSocketProxyAuthenticationRequired);
    qCDebug(lcWebSocket) << "created on thread" << qtThread;
}

WebSocket::~WebSocket() {
    queue_->finish([](bool&, unsigned long) {}, true);
    qCDebug(lcWebSocket) << "destroyed";
    // Whatever the connection signals while it goes reaches nobody.
    QObject::disconnect(socket_, nullptr, this, nullptr);
    delete socket_;
}

// --- the caller's thread ----------------------------------------------------

QString WebSocket::webSocketUrl(const std::string& url) {
    static const QString kSecureWeb = QStringLiteral("https://");
    QString text = QString::fromStdString(url);
    if (text.startsWith(kSecureWeb, Qt::CaseInsensitive)) {
        text.replace(0, kSecureWeb.size(), QStringLiteral("wss://"));
    }
    return text;
}

void WebSocket::open(const std::string& url) {
    const QString target = webSocketUrl(url);
    selectProxyForUrl(*proxyAuthenticator_, target);
    request_.setUrl(QUrl(target, QUrl::TolerantMode));
    // The opening takes the request as it is now: later headers are for the
    // next one.
    if (!QMetaObject::invokeMethod(
            this, [this, request = request_] { internalOpen(request); }, Qt::QueuedConnection)) {
        qCCritical(lcWebSocket) << "failed to call internalOpen";
    }
}

void WebSocket::close() {
    if (!QMetaObject::invokeMethod(
            this, [this] { internalClose(); }, Qt::QueuedConnection)) {
        qCCritical(lcWebSocket) << "failed to call internalClose";
    }
}

void WebSocket::setHeader(const std::string& name, const std::string& value) {
    request_.setRawHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
}

void WebSocket::setProxyCredentials(const std::wstring& user, const std::wstring& password) {
    qCDebug(lcWebSocket) << "proxy credentials updated";
    proxyAuthenticator_->setCredentials(user, password);
}

void WebSocket::sendBinaryMessage(const std::vector<std::uint8_t>& data,
                                  MessageSentHandler handler) {
    if (!QMetaObject::invokeMethod(this, "internalSendBinaryMessage", Qt::QueuedConnection,
                                   Q_ARG(QByteArray, toBytes(data)),
                                   Q_ARG(IWebSocket::MessageSentHandler, std::move(handler)))) {
        qCCritical(lcWebSocket) << "failed to call internalSendBinaryMessage";
    }
}

void WebSocket::sendTextMessage(const std::string& text, MessageSentHandler handler) {
    if (!QMetaObject::invokeMethod(this, "internalSendTextMessage", Qt::QueuedConnection,
                                   Q_ARG(QString, QString::fromStdString(text)),
                                   Q_ARG(IWebSocket::MessageSentHandler, std::move(handler)))) {
        qCCritical(lcWebSocket) << "failed to call internalSendTextMessage";
    }
}

void WebSocket::ping(const std::vector<std::uint8_t>& payload) {
    BOOST_ASSERT_MSG(payload.size() <= kMaxPingPayload, "Cannot handle payload bigger than 125");
    if (!QMetaObject::invokeMethod(this, "internalPing", Qt::QueuedConnection,
                                   Q_ARG(QByteArray, toBytes(payload)))) {
        qCCritical(lcWebSocket) << "failed to call internalPing";
    }
}

void WebSocket::setIgnoredSslErrors(const std::vector<int>& codes) {
    QList<QSslError::SslError> ignored;
    for (const int code : codes) {
        ignored.append(sslErrorFromInt(code));
    }
    std::lock_guard lock(ignoredSslErrorsMutex_);
    ignoredSslErrors_ = std::move(ignored);
}

void WebSocket::resetHandlers() {
    auto fresh = std::make_shared<Handlers>();
    std::shared_ptr<Handlers> old;
    {
        std::lock_guard lock(handlersMutex_);
        old = std::exchange(handlers_, std::move(fresh));
    }
    // `old` goes here, outside the lock: its handlers may hold anything.
}

template <class Member>
void WebSocket::setHandler(Member Handlers::*member, Member handler) {
    std::lock_guard lock(handlersMutex_);
    handlers_.get()->*member = std::move(handler);
}

template <class Member>
bool WebSocket::hasHandler(Member Handlers::*member) const {
    std::lock_guard lock(handlersMutex_);
    return static_cast<bool>(handlers_.get()->*member);
}

void WebSocket::setBinaryMessageHandler(BinaryMessageHandler handler) {
    setHandler(&Handlers::binaryMessage, std::move(handler));
}

void WebSocket::setTextMessageHandler(TextMessageHandler handler) {
    setHandler(&Handlers::textMessage, std::move(handler));
}

void WebSocket::setConnectedHandler(ConnectedHandler handler) {
    setHandler(&Handlers::connected, std::move(handler));
}

void WebSocket::setDisconnectedHandler(DisconnectedHandler handler) {
    setHandler(&Handlers::disconnected, std::move(handler));
}

void WebSocket::setErrorHandler(ErrorHandler handler) {
    setHandler(&Handlers::error, std::move(handler));
}

void WebSocket::setSslErrorsHandler(SslErrorsHandler handler) {
    setHandler(&Handlers::sslErrors, std::move(handler));
}

void WebSocket::setPongHandler(PongHandler handler) {
    setHandler(&Handlers::pong, std::move(handler));
}

void WebSocket::setProxyAuthenticationRequiredHandler(ProxyAuthenticationRequiredHandler handler) {
    setHandler(&Handlers::proxyAuthenticationRequired, std::move(handler));
}

template <class Member, class Call>
void WebSocket::post(Member Handlers::*member, Call call) {
    std::shared_ptr<Handlers> handlers;
    {
        std::lock_guard lock(handlersMutex_);
        if (!(handlers_.get()->*member)) {
            return;
        }
        handlers = handlers_;
    }
    queue_->push(
        [weak = std::weak_ptr<Handlers>(handlers), member, call = std::move(call)](bool&,
                                                                                   unsigned long) {
            const auto set = weak.lock();
            const Member* handler = set && set.get()->*member ? &(set.get()->*member) : nullptr;
            call(handler);
        },
        std::chrono::milliseconds(0), 0);
}

// --- the Qt thread: opening, closing, sending -------------------------------

void WebSocket::internalOpen(const QNetworkRequest& request) {
    if (const auto state = socket_->state(); state != QAbstractSocket::UnconnectedState) {
        qCWarning(lcWebSocket).nospace()
            << "Trying to open a socket which is already in " << state << " state.";
        return;
    }
    qCDebug(lcWebSocket) << "opening with URL:" << request.url().toDisplayString();
    ++attempt_;
    connected_ = false;
    credentialsHanded_ = false;
    socket_->open(request);
}

void WebSocket::internalClose() {
    qCDebug(lcWebSocket) << "closing";
    if (connected_) {
        socket_->close(QWebSocketProtocol::CloseCodeNormal, QString());
        return;
    }
    if (socket_->state() != QAbstractSocket::UnconnectedState) {
        // An opening under way is abandoned; its end is reported once, here
        // or by the disconnect that the abort signals.
        socket_->abort();
        webSocketDisconnected(attempt_);
        return;
    }
    if (endReported()) {
        return;
    }
    if (attempt_ > 0) {
        // Ended, and its end is about to be reported: report it now.
        webSocketDisconnected(attempt_);
        return;
    }
    reportedAttempt_ = attempt_;
    if (!hasHandler(&Handlers::disconnected)) {
        qCCritical(lcWebSocket) << "disconnected handler is not set up correctly";
        return;
    }
    post(&Handlers::disconnected, [](const DisconnectedHandler* handler) {
        if (handler != nullptr) {
            (*handler)();
        }
        qCDebug(lcWebSocket) << "DisconnectedHandler returned";
    });
}

void WebSocket::internalSendBinaryMessage(QByteArray data, MessageSentHandler handler) {
    const qint64 sent = socket_->sendBinaryMessage(data);
    const bool whole = sent == data.size();
    if (!whole) {
        qCWarning(lcWebSocket) << "failed to send the whole binary message, only" << sent << "of"
                               << data.size() << "Byte(s)";
    }
    reportMessageSent(whole, handler);
}

void WebSocket::internalSendTextMessage(QString message, MessageSentHandler handler) {
    const qint64 size = message.toUtf8().size();
    const qint64 sent = socket_->sendTextMessage(message);
    const bool whole = sent == size;
    if (!whole) {
        qCWarning(lcWebSocket) << "failed to send the whole text message, only" << sent << "of"
                               << size << "Byte(s)";
    }
    reportMessageSent(whole, handler);
}

void WebSocket::reportMessageSent(bool sent, const MessageSentHandler& handler) {
    // Not part of the handler set: a reset does not cancel it.
    if (handler) {
        queue_->push([handler, sent](bool&, unsigned long) { handler(sent); },
                     std::chrono::milliseconds(0), 0);
    }
}

void WebSocket::internalPing(QByteArray payload) {
    qCDebug(lcWebSocket) << "pinging with payload of" << payload.size() << "Byte(s)";
    socket_->ping(payload);
}

// --- the Qt thread: the connection's signals --------------------------------

void WebSocket::onWebSocketConnected() {
    proxyAuthenticator_->credentialsAccepted();
    connected_ = true;
    auto record = metricsRecord("websocket-connected");
    record.fields["url"] = qStringToStdString(socket_->request().url().toString());
    metrics_->collect(record);
    qCDebug(lcWebSocket) << "Connected with the following (raw) headers:";
    const QNetworkRequest request = socket_->request();
    for (const QByteArray& name : request.rawHeaderList()) {
        qCDebug(lcWebSocket).noquote().nospace()
            << "    Name: " << name << " - Value: " << request.rawHeader(name);
    }
    post(&Handlers::connected, [proxies = proxyAuthenticator_](const ConnectedHandler* handler) {
        if (handler != nullptr) {
            if (std::string host = proxies->getHost(); !host.empty()) {
                qCInfo(lcWebSocket) << "Calling ConnectedHandler with proxy information";
                (*handler)(std::move(host), proxies->getPort(), proxies->getUser(),
                           proxies->getPassword());
            } else {
                qCInfo(lcWebSocket) << "Calling ConnectedHandler without proxy information";
                (*handler)(std::string(), 0, std::wstring(), std::wstring());
            }
        }
        qCDebug(lcWebSocket) << "ConnectedHandler returned";
    });
}

void WebSocket::onWebSocketDisconnected() {
    connected_ = false;
    // Qt signals the error of a failed attempt right after its disconnect:
    // the end is reported once the error had its turn, so that the user
    // learns the error first.
    if (!QMetaObject::invokeMethod(
            this, [this, attempt = attempt_] { webSocketDisconnected(attempt); },
            Qt::QueuedConnection)) {
        webSocketDisconnected(attempt_);
    }
}

void WebSocket::onWebSocketError(QAbstractSocket::SocketError error) {
    // The end of an open connection comes with the disconnected signal.
    if (error == QAbstractSocket::RemoteHostClosedError) {
        return;
    }
    if (error == QAbstractSocket::ProxyNotFoundError) {
        selectNextProxy(*proxyAuthenticator_, socket_->request().url());
    }
    qCCritical(lcWebSocket) << "socket error:" << error;
    if (endReported()) {
        // The attempt has ended and was reported: its user hears no more.
        return;
    }
    post(&Handlers::error, [code = webSocketErrorCode(error)](const ErrorHandler* handler) {
        if (handler != nullptr) {
            (*handler)(code);
        }
        qCDebug(lcWebSocket) << "ErrorHandler returned";
    });
    webSocketDisconnected(attempt_);
}

void WebSocket::webSocketDisconnected(int attempt) {
    if (attempt == attempt_) {
        connected_ = false;
    }
    if (reportedAttempt_ >= attempt) {
        return;
    }
    reportedAttempt_ = attempt;
    auto record = metricsRecord("websocket-disconnected");
    record.fields["error"] = std::string(socketErrorName(socket_->error()));
    record.fields["errorstring"] = qStringToStdString(socket_->errorString());
    metrics_->collect(record);
    post(&Handlers::disconnected, [](const DisconnectedHandler* handler) {
        if (handler != nullptr) {
            (*handler)();
        }
        qCDebug(lcWebSocket) << "DisconnectedHandler returned";
    });
}

void WebSocket::onWebSocketSslErrors(const QList<QSslError>& errors) {
    qCCritical(lcWebSocket) << "SSL errors:" << errors;
    QList<QSslError> matched;
    {
        std::lock_guard lock(ignoredSslErrorsMutex_);
        matched = matchSslErrors(errors, ignoredSslErrors_);
    }
    qCDebug(lcWebSocket) << "matched errors:" << matched;
    if (matched.size() != errors.size()) {
        qCWarning(lcWebSocket) << "one or more errors won't be ignored";
    }
    if (!matched.isEmpty()) {
        qCWarning(lcWebSocket) << "ignoring SSL errors:" << matched;
        socket_->ignoreSslErrors(matched);
        return;
    }
    std::vector<int> codes;
    codes.reserve(static_cast<std::size_t>(errors.size()));
    for (const auto& error : errors) {
        codes.push_back(sslErrorToInt(error));
    }
    post(&Handlers::sslErrors, [codes = std::move(codes)](const SslErrorsHandler* handler) {
        if (handler != nullptr) {
            (*handler)(codes);
        }
    });
}

void WebSocket::onWebSocketPong(quint64 elapsedTime, const QByteArray& payload) {
    post(&Handlers::pong, [elapsedTime, payload = fromBytes(payload)](const PongHandler* handler) {
        if (handler != nullptr) {
            (*handler)(elapsedTime, payload);
        }
    });
}

void WebSocket::onWebSocketTextMessageReceived(const QString& message) {
    post(&Handlers::textMessage,
         [text = qStringToStdString(message)](const TextMessageHandler* handler) {
             if (handler != nullptr) {
                 (*handler)(text);
             }
         });
}

void WebSocket::onWebSocketBinaryMessageReceived(const QByteArray& message) {
    post(&Handlers::binaryMessage,
         [data = fromBytes(message)](const BinaryMessageHandler* handler) {
             if (handler != nullptr) {
                 (*handler)(data);
             }
         });
}

void WebSocket::onWebSocketProxyAuthenticationRequired(const QNetworkProxy& proxy,
                                                       QAuthenticator* authenticator) {
    bool askUser = false;
    if (credentialsHanded_ && proxyAuthenticator_->hasCredentials()) {
        // The proxy refused what this attempt handed it. Qt would offer the
        // same again and again, as fast as the proxy answers: ask the user.
        qCInfo(lcWebSocket) << "proxy refused the credentials of this attempt";
        proxyAuthenticator_->requestCredentials();
        askUser = true;
    } else {
        const auto answer =
            answerProxyChallenge(*proxyAuthenticator_, proxy, authenticator, lcWebSocket(), true);
        credentialsHanded_ |= answer.kind == ProxyAuthenticator::ChallengeAnswer::UseStored;
        askUser = answer.kind == ProxyAuthenticator::ChallengeAnswer::AskUser;
    }
    if (askUser) {
        post(&Handlers::proxyAuthenticationRequired,
             [host = qStringToStdString(proxy.hostName()),
              port = proxy.port()](const ProxyAuthenticationRequiredHandler* handler) {
                 if (handler != nullptr) {
                     (*handler)(host, port);
                 }
             });
    }
}

// --- metrics ----------------------------------------------------------------

common::StructuredRecord WebSocket::metricsRecord(const char* event) const {
    char object[2 + 2 * sizeof(void*) + 1];
    std::snprintf(object, sizeof object, "0x%jx",
                  static_cast<std::uintmax_t>(reinterpret_cast<std::uintptr_t>(this)));
    common::StructuredRecord record;
    record.tag = event;
    record.fields["object"] = std::string(object);
    record.fields["proxy"] = proxyAuthenticator_->getHost().empty() ? 0 : 1;
    return record;
}
