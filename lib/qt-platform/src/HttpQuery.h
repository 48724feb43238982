#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QSslError>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "BodyPieces.h"
#include "ContentDecoder.h"
#include "DownloadTarget.h"
#include "IHttpQuery.h"
#include "Utf8ChunkDecoder.h"

class QNetworkAccessManager;
class QThread;
class ProxyAuthenticator;

namespace common {
class ITaskQueue;
}

// An HTTP request through the platform's network access manager. The object
// lives on the Qt thread: the caller's thread configures the request and
// posts the start; the network work, the reply slots and the progress
// handlers run on the Qt thread; the outcome goes to the caller as tasks of
// the platform's query queue, each holding the handler set only weakly.
class HttpQuery : public QObject, public IHttpQuery {
    Q_OBJECT

public:
    using ProgressInfo = IHttpQuery::ProgressInfo;

    // The user's handlers. Replacing the set cancels every outcome posted
    // with the old one and not yet run.
    struct Handlers {
        FinishedHandler finished;
        ErrorHandler error;
        SslErrorsHandler sslErrors;
        ProgressHandler uploadProgress;
        ProgressHandler downloadProgress;
    };

    HttpQuery(QThread* thread, QNetworkAccessManager* manager,
              std::shared_ptr<ProxyAuthenticator> proxyAuthenticator, common::ITaskQueue* queue);
    // On the Qt thread: a request still running is aborted and its reply
    // deleted, so that nothing goes on downloading for a released query.
    ~HttpQuery() override;

    void setUrl(const std::string& url) override;
    void setOperation(Operation operation) override;
    void setHeader(const std::string& name, const std::string& value) override;

    void setFinishedHandler(FinishedHandler handler) override;
    void setErrorHandler(ErrorHandler handler) override;
    void setDownloadProgressHandler(ProgressHandler handler) override;
    void setUploadProgressHandler(ProgressHandler handler) override;
    void setSslErrorsHandler(SslErrorsHandler handler) override;

    void setBody(const std::string& body) override;
    void setContentType(const std::string& contentType) override;
    void setFollowRedirects() override;

    const std::vector<char>& getResponseData() const override { return responseData_; }
    const std::string& getResponseText() const override;
    const std::map<std::string, std::string>& getResponseHeaders() const override {
        return responseHeaders_;
    }
    std::string getResponseHeader(const std::string& name) const override;
    int getStatusCode() const override { return statusCode_; }

    void execute() override;
    void downloadFile(const std::string& filePath) override;
    void transferFile(const std::string& filePath) override;
    void abort() override;
    void abandonDownload() override;
    void reset() override;
    bool wait(int timeoutMs) override;

    void setIgnoredSslErrors(const std::vector<int>& errors) override;
    void resetHandlers() override;
    void setTransferTimeout(int timeoutMs, std::int64_t lowSpeedLimit) override;
    void setMaximumBodySize(std::int64_t bytes) override;
    bool bodyRefused() const override { return bodyRefused_; }
    std::string downloadFileError() const override { return downloadFileError_; }
    bool threadRefused() const override { return threadRefused_; }

public slots:
    void internalTransferFile(QString filePath);
    void internalDownloadFile(QString filePath);

private:
    // How far a transfer may run ahead of the writes to its file or the body
    // held in memory: Qt stops reading the socket beyond this.
    static constexpr qint64 kReadBufferSize = 4 * 1024 * 1024;
    // The same for a body that is read only to be dropped (a redirect's that
    // Qt follows, one that a download does not write).
    static constexpr qint64 kDroppedReadBufferSize = 256 * 1024;

    // On the Qt thread.
    void internalExecute();
    void internalAbort();
    void disableStrictTransportSecurity();
    // Only http and https are fetched: any other scheme ends the query with
    // ProtocolUnknownError before anything is sent or touched. True then.
    bool refuseScheme();
    // Asks for gzip and deflate, decoded by the query, unless the caller
    // chose the codings.
    void askForCodings();
    // Makes `reply` the query's reply and connects the slots that every way
    // of sending shares; `toFile` sends the body to the download file.
    // `threadFailures` is qtThreadStartFailures as it was before the reply
    // was asked for.
    void adoptReply(QNetworkReply* reply, bool toFile, unsigned threadFailures);
    void onReplyReadyRead(QNetworkReply* reply);
    // A head has come: the first answer's, a redirect's or the next one's.
    // The body that follows is that answer's; its decoder is chosen at its
    // first byte. Qt drops the body of a redirect it follows: the reply is
    // drained meanwhile (see drainRedirectBody).
    void onReplyHead(QNetworkReply* reply);
    // Qt follows a redirect: the next head is the next answer's.
    void onReplyRedirected();
    // The head of a body held in memory has come: a body announced over the
    // limit is refused before any of it is read.
    void onReplyMetaData(QNetworkReply* reply);
    // The value of the response header `name` as the answer whose head came
    // last sent it; empty when it sent none. Qt keeps one set of headers for
    // a reply and appends each head's values to those it holds (", ", or a
    // line break for Set-Cookie); it clears them when it follows a redirect,
    // but a late copy of the redirect's head can still reach the reply after
    // that, and the next answer's values are then appended to the
    // redirect's: what the head before the last one held is taken out.
    QByteArray answerHeader(QNetworkReply* reply, const QByteArray& name) const;
    // The answer's headers, as answerHeader gives them.
    std::map<std::string, std::string> answerHeaders(QNetworkReply* reply) const;
    // The body length the answer announced; -1 when it announced none.
    qint64 announcedLength(QNetworkReply* reply) const;
    // Whether the body of an answer with `status` goes to the download file:
    // only a 2xx has one worth keeping, and a 204 has none.
    static bool bodyIsWritten(int status);
    // Whether the request carries a redirect policy that follows redirects.
    bool followsRedirects() const;
    // Whether a final answer with `status`, which Qt took without an error,
    // is not the resource asked for: a 1xx, or a 3xx that was not followed
    // (a 304 answers a conditional request only), for a query that follows
    // redirects or downloads into a file.
    bool isNotTheResource(int status) const;
    // Qt reads a redirect's body and drops it, but counts it against the
    // reply's read buffer, which only a read from the reply frees: without
    // one it stops reading once the buffer's worth has come, and the
    // redirect is never followed. While `on`, the reply is read (nothing
    // comes) every millisecond; meanwhile its read buffer is that of a
    // dropped body.
    void drainRedirectBody(QNetworkReply* reply, bool on);
    // Before the first piece of a body held in memory: a decoder for a body
    // that Qt was told not to decode, else room for the whole announced body
    // (up to the limit; the memory is taken as the bytes arrive); false when
    // that room could not be had.
    bool startBody(QNetworkReply* reply);
    // Before the first piece of the body: the decoder of a body coded with
    // gzip or deflate when the query asked for the codings. A body held is
    // bounded by the limit and the ratio, one written to a file by the ratio.
    void startDecoder(QNetworkReply* reply);
    // Decodes what the reply holds into takeBody; false, the reply failed,
    // when the body is refused, damaged or cannot be taken.
    bool decodeAvailable(QNetworkReply* reply);
    // The end of a coded body: it must have ended where the body did.
    void finishDecoding();
    // Hands body bytes on, to the download file or into memory; false when
    // they cannot be taken.
    bool takeBody(QNetworkReply* reply, const char* data, std::size_t size);
    // Reserves `room` bytes for the body; false, the reply failed, when
    // memory cannot give them.
    bool reserveRoom(QNetworkReply* reply, qint64 room);
    // Reads `available` bytes of a body that Qt does not decode: into the
    // room made for an announced length, else into the pieces. False (the
    // body released) when memory cannot hold them.
    bool readPlainBody(QNetworkReply* reply, qint64 available);
    // Appends decoded body bytes to the pieces; false (the body released)
    // when they would pass the limit or memory cannot hold them.
    bool appendBody(const char* data, std::size_t size);
    // Moves the pieces behind the response data once the body is complete;
    // false (the body released) when memory cannot hold the whole.
    bool joinBody();
    // The body bytes held, in the response data and in pieces.
    std::size_t heldBody() const { return responseData_.size() + bodyPieces_.size(); }
    // Gives up on the body of `reply` for good: over the limit, or a bomb.
    void refuseBody(QNetworkReply* reply);
    // Drops the response data and its text, and the memory they held.
    void releaseBody();
    // Writes what Qt holds of the body to the download file, decoded when
    // it is coded: once a piece's worth has come, or all of it when `whole`
    // (at the end).
    void onReplyDownloadReadyRead(QNetworkReply* reply, bool whole = false);
    // Puts the download file in place when `succeeded`, else discards it.
    void finishDownload(QNetworkReply* reply, bool succeeded);
    void onReplyFinished(QNetworkReply* reply);
    void onReplyError(QNetworkReply::NetworkError code);
    void onReplySslErrors(QNetworkReply* reply, const QList<QSslError>& errors);
    void onUploadProgress(qint64 sent, qint64 total);
    void onDownloadProgress(qint64 received, qint64 total);
    // Starts the transfer time-out's checks for `reply`.
    void watchTransfer(QNetworkReply* reply);
    // Gives up on `reply` with `error` in place of Qt's own outcome.
    void failReply(QNetworkReply* reply, Error error);
    // The download file failed: ends the transfer with ContentAccessDenied,
    // the reason kept for downloadFileError.
    void failDownload(QNetworkReply* reply, const char* what);
    // Gives up on `reply` once Qt could not start a thread, which it may
    // wait for: since `threadFailures` (qtThreadStartFailures before the
    // reply was asked for), until the answer begins.
    void watchThreads(QNetworkReply* reply, unsigned threadFailures);
    // Sets (or, with none, releases) the file of downloadFile; abandoned at
    // once when abandonDownload came first.
    void setDownloadTarget(std::unique_ptr<DownloadTarget> target);
    // Reports a transfer that could not start: the error, then failure.
    void failWithoutRequest(Error error);

    std::shared_ptr<Handlers> currentHandlers() const;
    void postError(Error error);
    void postFinished(bool success);
    void postSslErrors(std::vector<int> codes);
    // The outcome is known and every result is final: every wait, earlier or
    // later, returns true.
    void markFinished();

    QNetworkAccessManager* const manager_;
    const std::shared_ptr<ProxyAuthenticator> proxyAuthenticator_;
    QNetworkRequest request_;
    Operation operation_ = GET;
    QByteArray body_;
    std::vector<char> responseData_;
    // A body of unknown length (without Content-Length, or decoded) while
    // it arrives; moved behind the response data when the reply finishes.
    BodyPieces bodyPieces_;
    // Where each piece of the body ends in the response data, in arrival
    // order: the text is made piece by piece from these.
    std::vector<std::size_t> pieceEnds_;
    std::int64_t maximumBodySize_ = kDefaultMaximumBodySize;
    // Set when the query asked for gzip and deflate itself, so that Qt hands
    // the body on as it came and `decoder_` decodes it, bounded.
    bool decodeBody_ = false;
    // Set at the first byte of an answer's body.
    bool bodyStarted_ = false;
    std::unique_ptr<ContentDecoder> decoder_;
    // The status of the answer whose head came last; 0 before the first.
    int answerStatus_ = 0;
    // Qt's headers at each head since the last redirect Qt followed (or the
    // start), as Qt had merged them (see answerHeader).
    std::vector<QList<QNetworkReply::RawHeaderPair>> heads_;
    // Reads the reply while Qt drops a redirect's body; a child of the reply.
    QPointer<QTimer> redirectDrain_;
    // Set on the Qt thread before the error is posted.
    std::atomic<bool> bodyRefused_{false};
    std::atomic<bool> threadRefused_{false};
    // The text made so far: from the first `textPieces_` pieces, and, once
    // `textComplete_`, from the whole body. Made on the caller's thread.
    mutable std::string responseText_;
    mutable Utf8ChunkDecoder textDecoder_;
    mutable std::size_t textPieces_ = 0;
    mutable bool textComplete_ = false;
    // Set on the Qt thread when the reply has finished.
    bool bodyComplete_ = false;
    common::ITaskQueue* const queue_;
    QList<QSslError::SslError> ignoredSslErrors_;
    std::map<std::string, std::string> responseHeaders_;
    std::string transferFilePath_;
    // The file of downloadFile while the transfer runs: set and released on
    // the Qt thread under the mutex, which abandonDownload takes to reach it
    // from any thread.
    std::unique_ptr<DownloadTarget> downloadTarget_;
    std::mutex downloadTargetMutex_;
    bool downloadAbandoned_ = false;
    std::string downloadFileError_;
    // What the body is read into on its way to the download file.
    std::unique_ptr<char[]> downloadPiece_;
    // The reply started on this query. It stays set after the reply has been
    // released, as the mark that the query was used; only `liveReply_` is
    // ever dereferenced.
    QNetworkReply* _reply = nullptr;
    QPointer<QNetworkReply> liveReply_;
    int statusCode_ = 0;
    int transferTimeoutMs_ = kDefaultTransferTimeoutMs;
    std::int64_t lowSpeedLimit_ = kDefaultLowSpeedLimit;
    // Bytes received and sent by the running reply, as its progress counts.
    qint64 bytesReceived_ = 0;
    qint64 bytesSent_ = 0;
    // Set when the query gave up on the reply itself (the download file
    // failed, the transfer stalled); reported in place of Qt's error.
    std::optional<Error> transferFailure_;
    bool errorReported_ = false;

    bool finished_ = false;
    std::condition_variable finishedCondition_;
    std::mutex finishedMutex_;

    mutable std::mutex handlersMutex_;
    std::shared_ptr<Handlers> handlers_;
};
