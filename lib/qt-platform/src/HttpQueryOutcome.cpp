// The outcome of an HTTP query: the reply's end and its errors, the failures
// the query finds itself (a stalled transfer, a file that cannot be written),
// the progress reports, and the tasks that carry the outcome to the caller.

#include <QDebug>
#include <QTimer>
#include <chrono>

#include "HttpQuery.h"
#include "HttpQueryErrors.h"
#include "LoggingCategories.h"
#include "ProxyAuthenticator.h"
#include "QtMessageHandler.h"
#include "SslErrorFilter.h"
#include "common/taskscheduler/ITaskQueue.h"

namespace {

// Qt sends a request from threads that it starts as it goes: its network
// thread with a manager's first request (at once, or once the network
// session is open), a thread for a name's look-up. One that could not
// start leaves the request, and every later one of the manager for its
// network thread, waiting without a word. A failure to start one is looked
// for this often until the answer begins.
constexpr int kThreadWatchMs = 100;
// Set on a manager whose network thread could not be started.
constexpr const char* kThreadRefused = "quorvaneThreadRefused";

}  // namespace

// --- waiting, on the caller's thread ----------------------------------------

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

// --- failures found by the query, on the Qt thread --------------------------

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

void HttpQuery::watchThreads(QNetworkReply* reply, unsigned threadFailures) {
    const auto refuse = [this, reply] {
        qCWarning(lcHttpQuery) << "Qt could not start a thread for the request; giving up";
        threadRefused_ = true;
        failReply(reply, UnknownNetworkError);
    };
    // The threads of a manager that could not start one are not tried again.
    if (manager_->property(kThreadRefused).toBool()) {
        refuse();
        return;
    }
    auto* timer = new QTimer(reply);
    timer->setInterval(kThreadWatchMs);
    connect(timer, &QTimer::timeout, this, [this, reply, timer, threadFailures, refuse] {
        if (reply->isFinished() || bytesReceived_ > 0) {
            timer->stop();
        } else if (qtThreadStartFailures() != threadFailures) {
            timer->stop();
            manager_->setProperty(kThreadRefused, true);
            refuse();
        }
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

// --- the reply's end, on the Qt thread --------------------------------------

void HttpQuery::onReplyFinished(QNetworkReply* reply) {
    for (auto& [name, value] : answerHeaders(reply)) {
        responseHeaders_[name] = std::move(value);
    }
    statusCode_ = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool replySucceeded = reply->error() == QNetworkReply::NoError;
    drainRedirectBody(reply, false);
    // What Qt still holds, then the end of a compressed stream; a download
    // file is put in place, or discarded, before the outcome is posted.
    if (replySucceeded && !transferFailure_) {
        if (downloadTarget_) {
            onReplyDownloadReadyRead(reply, true);
        } else if (reply->bytesAvailable() > 0) {
            onReplyReadyRead(reply);
        }
        finishDecoding();
    }
    // Qt takes an answer it does not follow without an error.
    if (replySucceeded && !transferFailure_ && isNotTheResource(statusCode_)) {
        qCWarning(lcHttpQuery) << "the answer" << statusCode_
                               << "is not the resource asked for (a 1xx, or a 3xx that was not "
                                  "followed); giving up";
        transferFailure_ = ProtocolFailure;
    }
    if (downloadTarget_) {
        finishDownload(reply, replySucceeded && !transferFailure_);
    }
    decoder_.reset();
    if (!joinBody() && !transferFailure_) {
        transferFailure_ = UnknownContentError;
    }
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
