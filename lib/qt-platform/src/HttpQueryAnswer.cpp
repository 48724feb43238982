// The answers of an HTTP query, on the Qt thread: the heads Qt hands on (the
// first answer's, a redirect's, the next one's) and the headers each answer
// sent, the redirect bodies Qt reads and drops, which answer's body a
// download keeps, and the answers that are not the resource asked for.

#include <QDebug>
#include <QTimer>

#include "HttpQuery.h"
#include "LoggingCategories.h"

namespace {

// How often a reply is read while Qt drops a redirect's body: each read
// lets Qt read up to the read buffer's size more.
constexpr int kRedirectDrainMs = 1;

// The statuses whose body Qt drops when the request follows redirects: it
// follows them when it may.
bool isFollowedRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 305 || status == 307 ||
           status == 308;
}

}  // namespace

void HttpQuery::onReplyHead(QNetworkReply* reply) {
    const auto headers = reply->rawHeaderPairs();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // Qt may hand the same head on once more, unchanged: it is no new one.
    if (heads_.empty() || status != answerStatus_ || headers != heads_.back()) {
        heads_.push_back(headers);
    }
    answerStatus_ = status;
    const bool redirect = followsRedirects() && isFollowedRedirect(status);
    // Qt holds less of a body that is only dropped.
    reply->setReadBufferSize(redirect || (downloadTarget_ && !bodyIsWritten(status))
                                 ? kDroppedReadBufferSize
                                 : kReadBufferSize);
    drainRedirectBody(reply, redirect);
    if (!downloadTarget_) {
        onReplyMetaData(reply);
    }
}

void HttpQuery::onReplyRedirected() {
    heads_.clear();
}

QByteArray HttpQuery::answerHeader(QNetworkReply* reply, const QByteArray& name) const {
    const QByteArray merged = reply->rawHeader(name);
    if (heads_.size() < 2) {
        return merged;
    }
    for (const auto& [earlierName, earlier] : heads_[heads_.size() - 2]) {
        if (earlierName.compare(name, Qt::CaseInsensitive) != 0) {
            continue;
        }
        if (merged == earlier) {
            // The answer sent none: the value is the earlier head's.
            return {};
        }
        for (const char* separator : {", ", "\n"}) {
            if (merged.startsWith(earlier + separator)) {
                return merged.mid(earlier.size() + static_cast<int>(qstrlen(separator)));
            }
        }
        break;
    }
    return merged;
}

std::map<std::string, std::string> HttpQuery::answerHeaders(QNetworkReply* reply) const {
    std::map<std::string, std::string> headers;
    for (const auto& [name, merged] : reply->rawHeaderPairs()) {
        const QByteArray value = answerHeader(reply, name);
        if (!value.isEmpty() || merged.isEmpty()) {
            headers[name.toStdString()] = value.toStdString();
        }
    }
    return headers;
}

qint64 HttpQuery::announcedLength(QNetworkReply* reply) const {
    bool known = false;
    const qint64 length = answerHeader(reply, "Content-Length").trimmed().toLongLong(&known);
    return known && length >= 0 ? length : -1;
}

bool HttpQuery::bodyIsWritten(int status) {
    return status >= 200 && status < 300 && status != 204;
}

bool HttpQuery::followsRedirects() const {
    const QVariant policy = request_.attribute(QNetworkRequest::RedirectPolicyAttribute);
    return policy.isValid() && policy.toInt() != QNetworkRequest::ManualRedirectPolicy;
}

bool HttpQuery::isNotTheResource(int status) const {
    if (!followsRedirects() && !downloadTarget_) {
        return false;
    }
    if (status == 304) {
        return !request_.hasRawHeader("If-None-Match") &&
               !request_.hasRawHeader("If-Modified-Since");
    }
    return (status >= 100 && status < 200) || (status >= 300 && status < 400);
}

void HttpQuery::drainRedirectBody(QNetworkReply* reply, bool on) {
    if (!on) {
        if (redirectDrain_) {
            redirectDrain_->stop();
        }
        return;
    }
    if (!redirectDrain_) {
        // Made here, on the Qt thread, and gone with the reply.
        redirectDrain_ = new QTimer(reply);
        redirectDrain_->setInterval(kRedirectDrainMs);
        connect(redirectDrain_, &QTimer::timeout, this, [reply] {
            // Nothing is there to read: the read only tells Qt that the
            // bytes it dropped have been taken.
            char none = 0;
            if (reply->bytesAvailable() == 0) {
                reply->read(&none, 1);
            }
        });
    }
    redirectDrain_->start();
}
