#include "HttpQuery.h"

#include <QDebug>
#include <QFileInfo>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <boost/assert.hpp>
#include <chrono>

#include "HttpQueryErrors.h"
#include "LoggingCategories.h"
#include "ProxyAuthenticator.h"
#include "QtProxyTypes.h"
#include "QtStrings.h"
#include "SslErrorFilter.h"
#include "WideStrings.h"
#include "common/taskscheduler/ITaskQueue.h"

namespace {

// How far a transfer may run ahead of the writes to its file or the body
// held in memory: Qt stops reading the socket beyond this.
constexpr qint64 kDownloadReadBufferSize = 4 * 1024 * 1024;

// The coded bytes a compressed body is read in.
constexpr std::size_t kCodedPiece = 64 * 1024;

// The content codings asked for when the caller asked for none; the query
// decodes them itself.
constexpr const char* kAcceptEncoding = "Accept-Encoding";
constexpr const char* kDecodedCodings = "gzip, deflate";

QByteArray toBytes(const std::string& text) {
    return QByteArray(text.data(), static_cast<int>(text.size()));
}

std::string toStdString(const QByteArray& bytes) {
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
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

void HttpQuery::releaseBody() {
    std::vector<char>().swap(responseData_);
    pieceEnds_.clear();
    std::string().swap(responseText_);
    textDecoder_.clear();
    textPieces_ = 0;
    textComplete_ = false;
}

const std::string& HttpQuery::getResponseText() const {
    // Each piece is converted on its own, exactly as it came from Qt.
    std::size_t begin = textPieces_ == 0 ? 0 : pieceEnds_[textPieces_ - 1];
    for (; textPieces_ < pieceEnds_.size(); ++textPieces_) {
        const std::size_t end = pieceEnds_[textPieces_];
        responseText_ += textDecoder_.decode(
            QByteArray::fromRawData(responseData_.data() + begin, static_cast<int>(end - begin)));
        begin = end;
    }
    if (bodyComplete_ && !textComplete_) {
        responseText_ += textDecoder_.finish();
        textComplete_ = true;
    }
    return responseText_;
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

// --- starting and waiting, on the caller's thread ---------------------------

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

void HttpQuery::abort() {
    if (!QMetaObject::invokeMethod(
            this, [this] { internalAbort(); }, Qt::QueuedConnection)) {
        qCCritical(lcHttpQuery) << "failed to call internalAbort";
    }
}

bool HttpQuery::wait(int timeoutMs) {
    std::unique_lock lock(finishedMutex_);
    if (timeoutMs < 0) {
        finishedCondition_.wait(lock, [this] { return finished_; });
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    finishedCondition_.wait_until(lock, deadline, [this] { return finished_; });
    return finished_;
}

void HttpQuery::markFinished() {
    {
        std::lock_guard lock(finishedMutex_);
        finished_ = true;
    }
    finishedCondition_.notify_all();
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
    disableStrictTransportSecurity();
    askForCodings();
    adoptReply(manager_->sendCustomRequest(request_, QByteArray(verb), body_), false);
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
    auto file = std::make_unique<QFile>(filePath);
    if (!file->open(QIODevice::WriteOnly)) {
        qCWarning(lcHttpQuery) << "failed to open for write the requested file to transfer";
        // As Qt reports a local file that cannot be opened for writing.
        failWithoutRequest(ContentAccessDenied);
        return;
    }
    transferFilePath_ = qStringToStdString(filePath);
    disableStrictTransportSecurity();
    QNetworkReply* reply = manager_->get(request_);
    // Qt reads ahead of the file writes without bound otherwise, holding up
    // to the whole body in memory.
    reply->setReadBufferSize(kDownloadReadBufferSize);
    // The file lives as long as the reply; it is closed when the reply
    // finishes, before the outcome is posted.
    file->setParent(reply);
    downloadFile_ = file.release();
    adoptReply(reply, true);
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this](qint64 received, qint64 total) { onDownloadProgress(received, total); });
}

void HttpQuery::internalTransferFile(QString filePath) {
    BOOST_ASSERT_MSG(!_reply, "HttpQuery has already used once.");
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
    QNetworkReply* reply = manager_->put(request_, file.get());
    file.release()->setParent(reply);
    adoptReply(reply, false);
    connect(reply, &QNetworkReply::uploadProgress, this,
            [this](qint64 sent, qint64 total) { onUploadProgress(sent, total); });
}

void HttpQuery::adoptReply(QNetworkReply* reply, bool toFile) {
    _reply = reply;
    liveReply_ = reply;
    // A query started once more reports the new request's outcome.
    errorReported_ = false;
    transferFailure_.reset();
    bodyComplete_ = false;
    bodyStarted_ = false;
    decoder_.reset();
    watchTransfer(reply);
    connect(reply, &QNetworkReply::sslErrors, this,
            [this, reply](const QList<QSslError>& errors) { onReplySslErrors(reply, errors); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onReplyFinished(reply); });
    connect(reply, &QNetworkReply::errorOccurred, this,
            [this](QNetworkReply::NetworkError code) { onReplyError(code); });
    if (toFile) {
        connect(reply, &QNetworkReply::readyRead, this,
                [this, reply] { onReplyDownloadReadyRead(reply); });
    } else {
        // Held once: Qt keeps no more than this ahead of the body.
        reply->setReadBufferSize(kDownloadReadBufferSize);
        connect(reply, &QNetworkReply::metaDataChanged, this,
                [this, reply] { onReplyMetaData(reply); });
        connect(reply, &QNetworkReply::readyRead, this, [this, reply] { onReplyReadyRead(reply); });
    }
}

void HttpQuery::watchTransfer(QNetworkReply* reply) {
    bytesReceived_ = 0;
    bytesSent_ = 0;
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) {
        bytesReceived_ = std::max(bytesReceived_, received);
    });
    connect(reply, &QNetworkReply::uploadProgress, this,
            [this](qint64 sent, qint64) { bytesSent_ = std::max(bytesSent_, sent); });
    if (transferTimeoutMs_ <= 0) {
        return;
    }
    // Made here, on the Qt thread, and gone with the reply.
    auto* timer = new QTimer(reply);
    timer->setInterval(transferTimeoutMs_);
    const qint64 needed =
        std::max<qint64>(1, lowSpeedLimit_ * static_cast<qint64>(transferTimeoutMs_) / 1000);
    connect(timer, &QTimer::timeout, this, [this, reply, needed, seen = qint64{0}]() mutable {
        const qint64 moved = bytesReceived_ + bytesSent_;
        if (moved - seen >= needed || reply->isFinished()) {
            seen = moved;
            return;
        }
        qCWarning(lcHttpQuery).nospace()
            << "transfer stalled: " << (moved - seen) << " byte(s) in the last "
            << transferTimeoutMs_ << " ms; giving up";
        failReply(reply, TimeoutError);
    });
    timer->start();
}

void HttpQuery::failReply(QNetworkReply* reply, Error error) {
    if (transferFailure_) {
        return;
    }
    transferFailure_ = error;
    if (!reply->isFinished()) {
        reply->abort();
    }
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

// --- the reply, on the Qt thread --------------------------------------------

void HttpQuery::onReplyMetaData(QNetworkReply* reply) {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (transferFailure_ || (status >= 300 && status < 400)) {
        return;
    }
    bool known = false;
    const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    if (known && length > maximumBodySize_) {
        qCWarning(lcHttpQuery) << "the response announces a body of" << length
                               << "bytes, over the limit of" << maximumBodySize_
                               << "bytes; giving up";
        refuseBody(reply);
    }
}

void HttpQuery::refuseBody(QNetworkReply* reply) {
    bodyRefused_ = true;
    releaseBody();
    decoder_.reset();
    failReply(reply, UnknownContentError);
}

void HttpQuery::onReplyReadyRead(QNetworkReply* reply) {
    if (transferFailure_) {
        reply->skip(reply->bytesAvailable());
        return;
    }
    if (!bodyStarted_) {
        bodyStarted_ = true;
        if (!startBody(reply)) {
            return;
        }
    }
    const qint64 available = reply->bytesAvailable();
    if (available <= 0) {
        return;
    }
    const std::size_t held = responseData_.size();
    if (decoder_) {
        // In small pieces: the coded bytes cost little beside the body.
        char piece[kCodedPiece];
        bool noRoom = false;
        auto status = ContentDecoder::Status::ok;
        for (qint64 got = 0; status == ContentDecoder::Status::ok &&
                             (got = reply->read(piece, sizeof piece)) > 0;) {
            status = decoder_->decode(piece, static_cast<std::size_t>(got),
                                      [this, &noRoom](const char* data, std::size_t size) {
                                          noRoom = !appendBody(data, size);
                                          return !noRoom;
                                      });
        }
        if (status == ContentDecoder::Status::tooLarge) {
            qCWarning(lcHttpQuery) << "the compressed response body decodes to more than"
                                   << maximumBodySize_ << "bytes or"
                                   << ContentDecoder::kMaximumRatio
                                   << "times its size; giving up";
            refuseBody(reply);
            return;
        }
        if (status == ContentDecoder::Status::damaged) {
            if (!noRoom) {
                qCWarning(lcHttpQuery) << "the compressed response body cannot be decoded";
            }
            releaseBody();
            failReply(reply, noRoom ? UnknownContentError : ProtocolFailure);
            return;
        }
    } else {
        if (static_cast<std::int64_t>(held) + available > maximumBodySize_) {
            qCWarning(lcHttpQuery) << "the response body is larger than" << maximumBodySize_
                                   << "bytes; giving up";
            refuseBody(reply);
            return;
        }
        if (!appendBody(nullptr, static_cast<std::size_t>(available))) {
            failReply(reply, UnknownContentError);
            return;
        }
        // Straight from Qt's buffer into the tail.
        const qint64 got = reply->read(responseData_.data() + held, available);
        responseData_.resize(held + static_cast<std::size_t>(std::max<qint64>(got, 0)));
    }
    if (responseData_.size() > held) {
        pieceEnds_.push_back(responseData_.size());
    }
}

bool HttpQuery::appendBody(const char* data, std::size_t size) {
    const std::size_t held = responseData_.size();
    if (static_cast<std::int64_t>(held + size) > maximumBodySize_) {
        releaseBody();
        return false;
    }
    try {
        responseData_.resize(held + size);
    } catch (const std::bad_alloc&) {
        qCWarning(lcHttpQuery) << "no memory for a response body of" << held + size
                               << "bytes; giving up";
        releaseBody();
        return false;
    }
    if (data != nullptr) {
        std::copy(data, data + size, responseData_.begin() + static_cast<std::ptrdiff_t>(held));
    }
    return true;
}

bool HttpQuery::startBody(QNetworkReply* reply) {
    if (decodeBody_) {
        decoder_ = ContentDecoder::forEncoding(
            reply->rawHeader("Content-Encoding").toStdString(), maximumBodySize_);
    }
    if (decoder_) {
        // Room up to where a bomb is looked for, so that one is refused
        // before the body has been copied while growing.
        return reserveRoom(reply, std::min<qint64>(maximumBodySize_,
                                                   2 * ContentDecoder::kSafetyThreshold));
    }
    bool known = false;
    const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    if (!known || length <= 0) {
        return true;
    }
    // The whole body at once, so that it is never copied while it grows;
    // the pages are taken only as the bytes arrive.
    return reserveRoom(reply, std::min(length, static_cast<qint64>(maximumBodySize_)));
}

bool HttpQuery::reserveRoom(QNetworkReply* reply, qint64 room) {
    try {
        responseData_.reserve(static_cast<std::size_t>(std::max<qint64>(room, 0)));
    } catch (const std::bad_alloc&) {
        qCWarning(lcHttpQuery) << "no memory for a response body of" << room << "bytes; giving up";
        failReply(reply, UnknownContentError);
        return false;
    }
    return true;
}

void HttpQuery::onReplyDownloadReadyRead(QNetworkReply* reply) {
    writeDownloadData(reply, reply->readAll());
}

void HttpQuery::writeDownloadData(QNetworkReply* reply, const QByteArray& data) {
    if (transferFailure_ || downloadFile_ == nullptr || data.isEmpty()) {
        return;
    }
    if (downloadFile_->write(data) == data.size()) {
        return;
    }
    qCWarning(lcHttpQuery) << "failed to write the downloaded data:"
                           << downloadFile_->errorString();
    failReply(reply, ProtocolFailure);
}

bool HttpQuery::closeDownloadFile() {
    QFile* file = downloadFile_;
    if (file == nullptr || !file->isOpen()) {
        return true;
    }
    const bool flushed = file->flush();
    file->close();
    if (!flushed || file->error() != QFileDevice::NoError) {
        qCWarning(lcHttpQuery) << "failed to complete the downloaded file:" << file->errorString();
        return false;
    }
    return true;
}

void HttpQuery::onReplyFinished(QNetworkReply* reply) {
    for (const auto& [name, value] : reply->rawHeaderPairs()) {
        responseHeaders_[toStdString(name)] = toStdString(value);
    }
    statusCode_ = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool replySucceeded = reply->error() == QNetworkReply::NoError;
    if (downloadFile_ != nullptr) {
        writeDownloadData(reply, reply->readAll());
        if (!closeDownloadFile() && !transferFailure_) {
            transferFailure_ = ProtocolFailure;
        }
    } else if (replySucceeded && !transferFailure_) {
        // What Qt still holds, then the end of a compressed stream.
        if (reply->bytesAvailable() > 0) {
            onReplyReadyRead(reply);
        }
        if (decoder_ && !transferFailure_ &&
            decoder_->finish() != ContentDecoder::Status::ok) {
            qCWarning(lcHttpQuery) << "the compressed response body ends early";
            releaseBody();
            transferFailure_ = ProtocolFailure;
        }
    }
    decoder_.reset();
    bodyComplete_ = true;
    if (liveReply_ == reply) {
        liveReply_ = nullptr;
    }
    reply->deleteLater();

    // A file that failed after the reply had succeeded still needs its error.
    if (transferFailure_ && !errorReported_) {
        errorReported_ = true;
        postError(*transferFailure_);
    }
    const bool success = replySucceeded && !transferFailure_;
    if (!currentHandlers()->finished) {
        qCWarning(lcHttpQuery) << "Finished handler is missing.";
        markFinished();
        return;
    }
    if (replySucceeded) {
        proxyAuthenticator_->credentialsAccepted();
    }
    postFinished(success);
    markFinished();
}

void HttpQuery::onReplyError(QNetworkReply::NetworkError code) {
    qCCritical(lcHttpQuery) << "network error:" << code;
    if (errorReported_) {
        return;
    }
    errorReported_ = true;
    postError(transferFailure_ ? *transferFailure_ : httpQueryErrorFromQt(code));
    // The reply's finished signal follows at once; the query is marked
    // finished there, when the status, the headers and the file are final.
}

void HttpQuery::onReplySslErrors(QNetworkReply* reply, const QList<QSslError>& errors) {
    qCCritical(lcHttpQuery) << "SSL errors:" << errors;
    const QList<QSslError> matched = matchSslErrors(errors, ignoredSslErrors_);
    qCDebug(lcHttpQuery) << "matched errors:" << matched;
    if (matched.size() != errors.size()) {
        qCWarning(lcHttpQuery) << "one or more errors won't be ignored";
    }
    // The outcome is still to come in every branch (the transfer goes on, or
    // the handshake fails and the error follows), so none marks the query
    // finished.
    if (!matched.isEmpty()) {
        qCWarning(lcHttpQuery) << "ignoring SSL errors:" << matched;
        reply->ignoreSslErrors(matched);
        return;
    }
    if (!currentHandlers()->sslErrors) {
        qCWarning(lcHttpQuery) << "sslError handler is missing.";
        return;
    }
    std::vector<int> codes;
    codes.reserve(static_cast<std::size_t>(errors.size()));
    for (const auto& error : errors) {
        codes.push_back(sslErrorToInt(error));
    }
    postSslErrors(std::move(codes));
}

void HttpQuery::onUploadProgress(qint64 sent, qint64 total) {
    ProgressHandler handler;
    {
        std::lock_guard lock(handlersMutex_);
        handler = handlers_->uploadProgress;
    }
    if (!handler) {
        qCDebug(lcHttpQuery) << "Upload progress handler is not set.";
        return;
    }
    handler(ProgressInfo{total, sent, transferFilePath_});
}

void HttpQuery::onDownloadProgress(qint64 received, qint64 total) {
    ProgressHandler handler;
    {
        std::lock_guard lock(handlersMutex_);
        handler = handlers_->downloadProgress;
    }
    if (!handler) {
        qCDebug(lcHttpQuery) << "Download progress handler is not set.";
        return;
    }
    handler(ProgressInfo{total, received, transferFilePath_});
}

void HttpQuery::failWithoutRequest(Error error) {
    errorReported_ = true;
    postError(error);
    if (currentHandlers()->finished) {
        postFinished(false);
    } else {
        qCWarning(lcHttpQuery) << "Finished handler is missing.";
    }
    markFinished();
}

// --- outcomes ---------------------------------------------------------------

void HttpQuery::postError(Error error) {
    const auto handlers = currentHandlers();
    if (!handlers->error) {
        qCWarning(lcHttpQuery) << "Error handler is missing.";
        return;
    }
    queue_->push(
        [weak = std::weak_ptr<Handlers>(handlers), error](bool&, unsigned long) {
            if (const auto set = weak.lock(); set && set->error) {
                set->error(error);
            }
        },
        std::chrono::milliseconds(0), 0);
}

void HttpQuery::postFinished(bool success) {
    queue_->push(
        [weak = std::weak_ptr<Handlers>(currentHandlers()), success](bool&, unsigned long) {
            if (const auto set = weak.lock(); set && set->finished) {
                set->finished(success);
            }
        },
        std::chrono::milliseconds(0), 0);
}

void HttpQuery::postSslErrors(std::vector<int> codes) {
    queue_->push(
        [weak = std::weak_ptr<Handlers>(currentHandlers()), codes = std::move(codes)](
            bool&, unsigned long) {
            if (const auto set = weak.lock(); set && set->sslErrors) {
                set->sslErrors(codes);
            }
        },
        std::chrono::milliseconds(0), 0);
}
