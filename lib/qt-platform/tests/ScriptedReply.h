#pragma once

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// What a scripted reply does, step by step, on the thread it lives on, each step in an event
// loop turn of its own: hand on a head (a status and headers, merged into those the reply holds
// as Qt 5.15 merges them: each value appended to the one held after ", ", a Location replaced),
// follow a redirect (Qt's headers cleared, then the signal), hand on body bytes (readyRead, also
// for none), or finish without an error.
struct ReplyStep {
    enum Kind { Head, Redirect, Bytes, Finish } kind;
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers = {};
    std::string bytes = "";  // the body bytes, or the redirect's target
};

// A reply that takes the steps of its script, in the order of the signals Qt's own reply
// emits: a way to hand a query a sequence that Qt makes only now and then (a late copy of a
// redirect's head, when Qt has sent a request twice on one connection) every time.
class ScriptedReply : public QNetworkReply {
public:
    ScriptedReply(const QNetworkRequest& request, std::vector<ReplyStep> script, QObject* parent)
        : QNetworkReply(parent), script_(std::move(script)) {
        setRequest(request);
        setUrl(request.url());
        setOperation(QNetworkAccessManager::GetOperation);
        open(QIODevice::ReadOnly);
        QTimer::singleShot(0, this, [this] { next(); });
    }

    void abort() override {
        if (isFinished()) return;
        script_.clear();
        setError(OperationCanceledError, "aborted");
        emit errorOccurred(OperationCanceledError);
        setFinished(true);
        emit finished();
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override {
        return static_cast<qint64>(body_.size()) + QNetworkReply::bytesAvailable();
    }

protected:
    qint64 readData(char* data, qint64 size) override {
        const auto count = std::min<std::size_t>(body_.size(), static_cast<std::size_t>(size));
        std::memcpy(data, body_.data(), count);
        body_.erase(0, count);
        return static_cast<qint64>(count);
    }

private:
    void next() {
        if (step_ >= script_.size()) return;
        const ReplyStep& step = script_[step_++];
        switch (step.kind) {
            case ReplyStep::Head:
                setAttribute(QNetworkRequest::HttpStatusCodeAttribute, step.status);
                for (const auto& [name, value] : step.headers) {
                    const QByteArray key = QByteArray::fromStdString(name);
                    const QByteArray held = key.compare("Location", Qt::CaseInsensitive) == 0
                                                ? QByteArray()
                                                : rawHeader(key);
                    setRawHeader(key, (held.isEmpty() ? QByteArray() : held + ", ") +
                                          QByteArray::fromStdString(value));
                }
                emit metaDataChanged();
                break;
            case ReplyStep::Redirect:
                for (const auto& name : rawHeaderList()) setRawHeader(name, QByteArray());
                emit redirected(QUrl(QString::fromStdString(step.bytes)));
                break;
            case ReplyStep::Bytes:
                body_ += step.bytes;
                emit readyRead();
                break;
            case ReplyStep::Finish:
                setFinished(true);
                emit finished();
                return;
        }
        QTimer::singleShot(0, this, [this] { next(); });
    }

    std::vector<ReplyStep> script_;
    std::size_t step_ = 0;
    std::string body_;
};
