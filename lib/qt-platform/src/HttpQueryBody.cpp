// The body of an HTTP query: read as it arrives, decoded when the query
// asked for the codings, then held in memory (bounded) or written to the
// download file; and the text made from it.

#include <QDebug>
#include <algorithm>
#include <cstring>
#include <limits>

#include "HttpQuery.h"
#include "LoggingCategories.h"

namespace {

// The coded bytes a compressed body is read in.
constexpr std::size_t kCodedPiece = 64 * 1024;

// The bytes a downloaded body is read in, on its way to the file.
constexpr qint64 kDownloadPiece = 256 * 1024;

}  // namespace

void HttpQuery::releaseBody() {
    std::vector<char>().swap(responseData_);
    bodyPieces_.clear();
    pieceEnds_.clear();
    std::string().swap(responseText_);
    textDecoder_.clear();
    textPieces_ = 0;
    textComplete_ = false;
}

const std::string& HttpQuery::getResponseText() const {
    // Each piece is converted on its own, exactly as it came from Qt; a body
    // of unknown length is in the data only once it is complete.
    std::size_t begin = textPieces_ == 0 ? 0 : pieceEnds_[textPieces_ - 1];
    for (; textPieces_ < pieceEnds_.size() && pieceEnds_[textPieces_] <= responseData_.size();
         ++textPieces_) {
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

// --- the reply's body, on the Qt thread -------------------------------------

void HttpQuery::onReplyMetaData(QNetworkReply* reply) {
    if (transferFailure_ || (answerStatus_ >= 300 && answerStatus_ < 400)) {
        return;
    }
    if (const qint64 length = announcedLength(reply); length > maximumBodySize_) {
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
    const qint64 available = reply->bytesAvailable();
    if (available <= 0) {
        return;
    }
    // The body's first byte: its answer's head has come.
    if (!bodyStarted_) {
        bodyStarted_ = true;
        if (!startBody(reply)) {
            return;
        }
    }
    const std::size_t held = heldBody();
    if (decoder_) {
        if (!decodeAvailable(reply)) {
            return;
        }
    } else {
        if (static_cast<std::int64_t>(held) + available > maximumBodySize_) {
            qCWarning(lcHttpQuery) << "the response body is larger than" << maximumBodySize_
                                   << "bytes; giving up";
            refuseBody(reply);
            return;
        }
        if (!readPlainBody(reply, available)) {
            failReply(reply, UnknownContentError);
            return;
        }
    }
    if (heldBody() > held) {
        pieceEnds_.push_back(heldBody());
    }
}

bool HttpQuery::decodeAvailable(QNetworkReply* reply) {
    // In small pieces: the coded bytes cost little beside the body.
    char piece[kCodedPiece];
    bool notTaken = false;
    auto status = ContentDecoder::Status::ok;
    for (qint64 got = 0;
         status == ContentDecoder::Status::ok && (got = reply->read(piece, sizeof piece)) > 0;) {
        status = decoder_->decode(piece, static_cast<std::size_t>(got),
                                  [this, reply, &notTaken](const char* data, std::size_t size) {
                                      notTaken = !takeBody(reply, data, size);
                                      return !notTaken;
                                  });
    }
    if (status == ContentDecoder::Status::tooLarge) {
        if (downloadTarget_) {
            qCWarning(lcHttpQuery) << "the compressed response body decodes to more than"
                                   << ContentDecoder::kMaximumRatio << "times its size; giving up";
        } else {
            qCWarning(lcHttpQuery)
                << "the compressed response body decodes to more than" << maximumBodySize_
                << "bytes or" << ContentDecoder::kMaximumRatio << "times its size; giving up";
        }
        refuseBody(reply);
        return false;
    }
    if (status == ContentDecoder::Status::damaged) {
        if (!notTaken) {
            qCWarning(lcHttpQuery) << "the response body cannot be decoded:"
                                   << decoder_->problem().c_str();
        }
        releaseBody();
        // A download file that failed has given its own error already.
        failReply(reply, notTaken ? UnknownContentError : ProtocolFailure);
        return false;
    }
    return true;
}

void HttpQuery::finishDecoding() {
    if (decoder_ && !transferFailure_ && decoder_->finish() != ContentDecoder::Status::ok) {
        qCWarning(lcHttpQuery) << "the compressed response body ends early";
        releaseBody();
        transferFailure_ = ProtocolFailure;
    }
}

bool HttpQuery::takeBody(QNetworkReply* reply, const char* data, std::size_t size) {
    if (!downloadTarget_) {
        return appendBody(data, size);
    }
    if (downloadTarget_->write(data, size)) {
        return true;
    }
    failDownload(reply, "failed to write the downloaded data:");
    return false;
}

bool HttpQuery::readPlainBody(QNetworkReply* reply, qint64 available) {
    const std::size_t held = responseData_.size();
    if (bodyPieces_.empty() &&
        responseData_.capacity() - held >= static_cast<std::size_t>(available)) {
        // Within the room made for the announced length: straight from Qt's
        // buffer into the tail.
        responseData_.resize(held + static_cast<std::size_t>(available));
        const qint64 got = reply->read(responseData_.data() + held, available);
        responseData_.resize(held + static_cast<std::size_t>(std::max<qint64>(got, 0)));
        return true;
    }
    try {
        while (available > 0) {
            std::size_t room = 0;
            char* at = bodyPieces_.room(room);
            const qint64 got = reply->read(at, std::min(static_cast<qint64>(room), available));
            if (got <= 0) {
                break;
            }
            bodyPieces_.commit(static_cast<std::size_t>(got));
            available -= got;
        }
    } catch (const std::bad_alloc&) {
        qCWarning(lcHttpQuery) << "no memory for a response body of" << heldBody() + available
                               << "bytes; giving up";
        releaseBody();
        return false;
    }
    return true;
}

bool HttpQuery::appendBody(const char* data, std::size_t size) {
    const std::size_t held = heldBody();
    if (static_cast<std::int64_t>(held + size) > maximumBodySize_) {
        releaseBody();
        return false;
    }
    try {
        bodyPieces_.append(data, size);
    } catch (const std::bad_alloc&) {
        qCWarning(lcHttpQuery) << "no memory for a response body of" << held + size
                               << "bytes; giving up";
        releaseBody();
        return false;
    }
    return true;
}

bool HttpQuery::joinBody() {
    try {
        bodyPieces_.moveInto(responseData_);
    } catch (const std::bad_alloc&) {
        qCWarning(lcHttpQuery) << "no memory to join a response body of" << heldBody()
                               << "bytes; giving up";
        releaseBody();
        return false;
    }
    return true;
}

void HttpQuery::startDecoder(QNetworkReply* reply) {
    if (decodeBody_) {
        decoder_ = ContentDecoder::forEncoding(
            answerHeader(reply, "Content-Encoding").toStdString(),
            downloadTarget_ ? std::numeric_limits<std::int64_t>::max() : maximumBodySize_);
    }
}

bool HttpQuery::startBody(QNetworkReply* reply) {
    startDecoder(reply);
    if (decoder_) {
        // Its length is known only once decoded: it goes into pieces.
        return true;
    }
    const qint64 length = announcedLength(reply);
    if (length <= 0) {
        return true;
    }
    // The whole body at once, so that it is never copied while it grows;
    // the pages are taken only as the bytes arrive. Without a length it goes
    // into pieces.
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

void HttpQuery::onReplyDownloadReadyRead(QNetworkReply* reply, bool whole) {
    // The body of an answer other than a 2xx (a 404's page, a redirect's
    // that is not followed) is read and dropped as it comes.
    if (transferFailure_ || downloadTarget_ == nullptr || !bodyIsWritten(answerStatus_)) {
        reply->skip(reply->bytesAvailable());
        return;
    }
    // Taken a piece at a time, not as each bit comes: every time the query
    // empties the reply, Qt's reader on its network thread is sent word of
    // the room made (an event, a wake-up of that thread). The reply holds
    // up to its read buffer's size, far more than a piece.
    const qint64 available = reply->bytesAvailable();
    if (available <= 0 || (!whole && available < kDownloadPiece)) {
        return;
    }
    if (!bodyStarted_) {
        bodyStarted_ = true;
        startDecoder(reply);
    }
    if (decoder_) {
        decodeAvailable(reply);
        return;
    }
    // Through one piece of memory for the whole body: readAll would make a
    // new array for every piece that Qt hands on, grown as it reads.
    if (!downloadPiece_) {
        downloadPiece_ = std::make_unique<char[]>(kDownloadPiece);
    }
    for (qint64 got = 0; !transferFailure_ &&
                         (got = reply->read(downloadPiece_.get(), kDownloadPiece)) > 0;) {
        takeBody(reply, downloadPiece_.get(), static_cast<std::size_t>(got));
    }
}

void HttpQuery::finishDownload(QNetworkReply* reply, bool succeeded) {
    // An answer without a body to keep (a 204, a 304 to a conditional
    // request) leaves the file as it was.
    if (!succeeded || !bodyIsWritten(statusCode_)) {
        downloadTarget_->discard();
    } else if (!downloadTarget_->commit()) {
        failDownload(reply, "failed to complete the downloaded file:");
    }
    setDownloadTarget(nullptr);
}

void HttpQuery::failDownload(QNetworkReply* reply, const char* what) {
    if (transferFailure_) {
        return;
    }
    downloadFileError_ = downloadTarget_->problem();
    qCWarning(lcHttpQuery) << what << downloadFileError_.c_str();
    failReply(reply, ContentAccessDenied);
}
