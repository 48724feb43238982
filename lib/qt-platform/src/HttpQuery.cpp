// An HTTP query's request: its set-up on the caller's thread, and the ways of
// sending it on the Qt thread. The body is in HttpQueryBody.cpp, the outcome
// in HttpQueryOutcome.cpp.

#include "HttpQuery.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QThread>
#include <QUrl>
#include <boost/assert.hpp>
#include <cstring>

#include "LoggingCategories.h"
#include "ProxyAuthenticator.h"
#include "QtMessageHandler.h"
#include "QtProxyTypes.h"
#include "QtStrings.h"
#include "SslErrorFilter.h"
#include "WideStrings.h"

namespace {

// The content codings asked for when the caller asked for none; the query
// decodes them itself.
constexpr const char* kAcceptEncoding = "Accept-Encoding";
constexpr const char* kDecodedCodings = "gzip, deflate";

QByteArray toBytes(const std::string& text) {
    return QByteArray(text.data(), static_cast<int>(text.size()));
}

}  // namespace

HttpQuery::HttpQuery(QThread* thread, QNetworkAccessManager* manager,
                     std::shared_ptr<ProxyAuthenticator> proxyAuthenticator,
                     common::ITaskQueue* queue)
    : manager_(manager),
      proxyAuthenticator_(std::move(proxyAuthenticator)),
      queue_(queue),
      handlers_(std::make_shared<Handlers>()) {
    moveToThread(thread);
}

HttpQuery::~HttpQuery() {
    if (QNetworkReply* reply = liveReply_; reply != nullptr && !reply->isFinished()) {
        // The reply belongs to the network access manager, which would go on
        // with the transfer for nobody.
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        delete reply;
    }
}

// --- configuration, on the caller's thread ----------------------------------

void HttpQuery::setUrl(const std::string& url) {
    proxyAuthenticator_->updateFromSystemSettings();
    if (proxyAuthenticator_->queryProxiesForUrl(wideFromUtf8(url))) {
        const QNetworkProxy proxy(toQtProxyType(proxyAuthenticator_->getProxyType()),
                                  QString::fromStdString(proxyAuthenticator_->getHost()),
                                  proxyAuthenticator_->getPort());
        QNetworkProxy::setApplicationProxy(proxy);
    }
    request_.setUrl(QUrl(QString::fromStdString(url), QUrl::TolerantMode));
}

void HttpQuery::setOperation(Operation operation) {
    operation_ = operation;
}

void HttpQuery::setHeader(const std::string& name, const std::string& value) {
    request_.setRawHeader(toBytes(name), toBytes(value));
}

void HttpQuery::setFinishedHandler(FinishedHandler handler) {
    std::lock_guard lock(handlersMutex_);
    handlers_->finished = std::move(handler);
}

void HttpQuery::setErrorHandler(ErrorHandler handler) {
    std::lock_guard lock(handlersMutex_);
    handlers_->error = std::move(handler);
}

void HttpQuery::setDownloadProgressHandler(ProgressHandler handler) {
    std::lock_guard lock(handlersMutex_);
    handlers_->downloadProgress = std::move(handler);
}

void HttpQuery::setUploadProgressHandler(ProgressHandler handler) {
    std::lock_guard lock(handlersMutex_);
    handlers_->uploadProgress = std::move(handler);
}

void HttpQuery::setSslErrorsHandler(SslErrorsHandler handler) {
    std::lock_guard lock(handlersMutex_);
    handlers_->sslErrors = std::move(handler);
}

void HttpQuery::resetHandlers() {
    auto fresh = std::make_shared<Handlers>();
    std::shared_ptr<Handlers> old;
    {
        std::lock_guard lock(handlersMutex_);
        old = std::exchange(handlers_, std::move(fresh));
    }
    // `old` goes here, outside the lock: its handlers may hold anything.
}

std::shared_ptr<HttpQuery::Handlers> HttpQuery::currentHandlers() const {
    std::lock_guard lock(handlersMutex_);
    return handlers_;
}

void HttpQuery::setBody(const std::string& body) {
    body_ = toBytes(body);
}

void HttpQuery::setContentType(const std::string& contentType) {
    request_.setHeader(QNetworkRequest::ContentTypeHeader, QString::fromStdString(contentType));
}

void HttpQuery::setFollowRedirects() {
    request_.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                          QNetworkRequest::NoLessSafeRedirectPolicy);
}

void HttpQuery::setIgnoredSslErrors(const std::vector<int>& errors) {
    ignoredSslErrors_.clear();
    for (const int code : errors) {
        ignoredSslErrors_.append(sslErrorFromInt(code));
    }
    qCWarning(lcHttpQuery) << "ignoring SSL errors:" << ignoredSslErrors_;
}

void HttpQuery::setTransferTimeout(int timeoutMs, std::int64_t lowSpeedLimit) {
    transferTimeoutMs_ = timeoutMs;
    lowSpeedLimit_ = lowSpeedLimit;
}

void HttpQuery::setMaximumBodySize(std::int64_t bytes) {
    maximumBodySize_ = bytes;
}

void HttpQuery::reset() {
    request_ = QNetworkRequest();
    body_.clear();
    releaseBody();
}

std::string HttpQuery::getResponseHeader(const std::string& name) const {
    // Both names are read as Latin-1 up to their first NUL.
    const QString wanted = QString::fromLatin1(name.c_str());
    for (const auto& [stored, value] : responseHeaders_) {
        if (QString::fromLatin1(stored.c_str()).compare(wanted, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

// --- starting, on the caller's thread ---------------------------------------

void HttpQuery::execute() {
    responseHeaders_.clear();
    if (!QMetaObject::invokeMethod(
            this, [this] { internalExecute(); }, Qt::QueuedConnection)) {
        qCCritical(lcHttpQuery) << "failed to call internalExecute";
    }
}

void HttpQuery::downloadFile(const std::string& filePath) {
    responseHeaders_.clear();
    if (!QMetaObject::invokeMethod(this, "internalDownloadFile", Qt::QueuedConnection,
                                   Q_ARG(QString, QString::fromStdString(filePath)))) {
        qCCritical(lcHttpQuery) << "failed to call internalDownloadFile";
    }
}

void HttpQuery::transferFile(const std::string& filePath) {
    responseHeaders_.clear();
    if (!QMetaObject::invokeMethod(this, "internalTransferFile", Qt::QueuedConnection,
                                   Q_ARG(QString, QString::fromStdString(filePath)))) {
        qCCritical(lcHttpQuery) << "failed to call internalTransferFile";
    }
}

void HttpQuery::abandonDownload() {
    std::lock_guard<std::mutex> lock(downloadTargetMutex_);
    downloadAbandoned_ = true;
    if (downloadTarget_) {
        downloadTarget_->abandon();
    }
}

void HttpQuery::setDownloadTarget(std::unique_ptr<DownloadTarget> target) {
    std::lock_guard<std::mutex> lock(downloadTargetMutex_);
    if (target && downloadAbandoned_) {
        target->abandon();
    }
    downloadTarget_ = std::move(target);
}

void HttpQuery::abort() {
    if (!QMetaObject::invokeMethod(
            this, [this] { internalAbort(); }, Qt::QueuedConnection)) {
        qCCritical(lcHttpQuery) << "failed to call internalAbort";
    }
}

// --- sending, on the Qt thread ----------------------------------------------

void HttpQuery::disableStrictTransportSecurity() {
    if (!ignoredSslErrors_.isEmpty() && manager_->isStrictTransportSecurityEnabled()) {
        qCWarning(lcHttpQuery) << "disabling HSTS";
        manager_->setStrictTransportSecurityEnabled(false);
    }
}

void HttpQuery::internalExecute() {
    BOOST_ASSERT_MSG(!_reply, "HttpQuery has already used once.");
    static const char* const kVerbs[] = {"GET", "POST", "PUT", "PATCH", "DELETE"};
    const char* verb = kVerbs[0];
    if (operation_ >= GET && operation_ <= DELETE) {
        verb = kVerbs[operation_];
    } else {
        BOOST_ASSERT_MSG(false, "unknown Operation");
    }
    if (refuseScheme()) {
        return;
    }
    disableStrictTransportSecurity();
    askForCodings();
    const unsigned threadFailures = qtThreadStartFailures();
    adoptReply(manager_->sendCustomRequest(request_, QByteArray(verb), body_), false,
               threadFailures);
}

bool HttpQuery::refuseScheme() {
    // Qt would read a file: URL from the disk and fetch ftp: and data: ones
    // for a GET.
    const QString scheme = request_.url().scheme();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
        return false;
    }
    qCWarning(lcHttpQuery) << "only http and https URLs are fetched, not" << scheme;
    failWithoutRequest(ProtocolUnknownError);
    return true;
}

void HttpQuery::askForCodings() {
    // Qt decodes a body whole as it comes when it set this header itself,
    // without any bound; asked for here, the body comes as it was sent.
    decodeBody_ = !request_.hasRawHeader(kAcceptEncoding);
    if (decodeBody_) {
        request_.setRawHeader(kAcceptEncoding, kDecodedCodings);
    }
}

void HttpQuery::internalDownloadFile(QString filePath) {
    BOOST_ASSERT_MSG(!_reply, "HttpQuery has already used once.");
    if (refuseScheme()) {
        return;
    }
    // Kept until the reply finishes, and put in place before the outcome is
    // posted; set before it is opened, so that abandonDownload reaches it.
    setDownloadTarget(std::make_unique<DownloadTarget>(qStringToStdString(filePath)));
    if (!downloadTarget_->open()) {
        downloadFileError_ = downloadTarget_->problem();
        qCWarning(lcHttpQuery) << "failed to open for write the requested file to transfer";
        setDownloadTarget(nullptr);
        // As Qt reports a local file that cannot be opened for writing.
        failWithoutRequest(ContentAccessDenied);
        return;
    }
    transferFilePath_ = qStringToStdString(filePath);
    disableStrictTransportSecurity();
    askForCodings();
    const unsigned threadFailures = qtThreadStartFailures();
    QNetworkReply* reply = manager_->get(request_);
    adoptReply(reply, true, threadFailures);
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this](qint64 received, qint64 total) { onDownloadProgress(received, total); });
}

void HttpQuery::internalTransferFile(QString filePath) {
    BOOST_ASSERT_MSG(!_reply, "HttpQuery has already used once.");
    if (refuseScheme()) {
        return;
    }
    if (filePath.isEmpty()) {
        qCWarning(lcHttpQuery) << "File path is empty in transfer file.";
        failWithoutRequest(ContentNotFoundError);
        return;
    }
    auto file = std::make_unique<QFile>(filePath);
    if (!file->open(QIODevice::ReadOnly)) {
        qCWarning(lcHttpQuery)
            << "failed to open for read the requested file to transfer, file path: " << filePath
            << " Error: " << file->errorString();
        // As Qt reports a local file that cannot be read.
        failWithoutRequest(file->exists() ? ContentAccessDenied : ContentNotFoundError);
        return;
    }
    transferFilePath_ = qStringToStdString(filePath);
    request_.setRawHeader("Content-Disposition", QStringLiteral("attachment; filename=\"%1\"")
                                                     .arg(QFileInfo(file->fileName()).fileName())
                                                     .toUtf8());
    request_.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
    request_.setHeader(QNetworkRequest::ContentLengthHeader, file->size());
    disableStrictTransportSecurity();
    askForCodings();
    const unsigned threadFailures = qtThreadStartFailures();
    QNetworkReply* reply = manager_->put(request_, file.get());
    file.release()->setParent(reply);
    adoptReply(reply, false, threadFailures);
    connect(reply, &QNetworkReply::uploadProgress, this,
            [this](qint64 sent, qint64 total) { onUploadProgress(sent, total); });
}

void HttpQuery::adoptReply(QNetworkReply* reply, bool toFile, unsigned threadFailures) {
    _reply = reply;
    liveReply_ = reply;
    // A query started once more reports the new request's outcome.
    errorReported_ = false;
    transferFailure_.reset();
    bodyComplete_ = false;
    bodyStarted_ = false;
    decoder_.reset();
    answerStatus_ = 0;
    heads_.clear();
    redirectDrain_ = nullptr;
    watchTransfer(reply);
    // Qt reads ahead of the file writes or the body held without bound
    // otherwise, holding up to the whole body once more. The size reaches
    // its network thread only once the request has been handed to it, which
    // for a request with a body Qt does on its next turn: set at once, it
    // would be dropped.
    QMetaObject::invokeMethod(
        reply, [reply] { reply->setReadBufferSize(kReadBufferSize); },
        Qt::QueuedConnection);
    connect(reply, &QNetworkReply::sslErrors, this,
            [this, reply](const QList<QSslError>& errors) { onReplySslErrors(reply, errors); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onReplyFinished(reply); });
    connect(reply, &QNetworkReply::errorOccurred, this,
            [this](QNetworkReply::NetworkError code) { onReplyError(code); });
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] { onReplyHead(reply); });
    connect(reply, &QNetworkReply::redirected, this, [this] { onReplyRedirected(); });
    if (toFile) {
        connect(reply, &QNetworkReply::readyRead, this,
                [this, reply] { onReplyDownloadReadyRead(reply); });
    } else {
        connect(reply, &QNetworkReply::readyRead, this, [this, reply] { onReplyReadyRead(reply); });
    }
    watchThreads(reply, threadFailures);
}

void HttpQuery::internalAbort() {
    qCInfo(lcHttpQuery) << "internalAbort";
    BOOST_ASSERT_MSG(_reply, "there is no request to abort");
    if (_reply == nullptr) {
        qCWarning(lcHttpQuery) << "internalAbort failed, reply is empty";
        return;
    }
    // A reply that has finished has been released: nothing to abort.
    if (QNetworkReply* reply = liveReply_; reply != nullptr && !reply->isFinished()) {
        reply->abort();
    }
}
