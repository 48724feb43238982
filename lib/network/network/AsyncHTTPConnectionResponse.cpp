// The reading side of AsyncHTTPConnection: the response record made once
// the request is sent, the reads that fill it, the body handed to a body
// sink on the way, and the complete response delivered (or the failure).

#include "network/AsyncHTTPConnection.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <boost/asio/ssl/error.hpp>

#include "network/DebugLogging.h"
#include "network/HTTPResponseHead.h"
#include "network/Hex.h"

namespace network {

namespace {

constexpr std::size_t kReadSize = 64 * 1024;

bool IsEndOfStream(const boost::system::error_code& error) {
    return error == boost::asio::error::eof || error == boost::asio::ssl::error::stream_truncated;
}

}  // namespace

void AsyncHTTPConnection::OnRequestSent(const std::shared_ptr<Exchange>& exchange,
                                        const boost::system::error_code& error, std::size_t bytes) {
    if (Cancelled(*exchange)) {
        logger_->debug("HTTP request to <%s> cancelled while sending", exchange->url.ToString().c_str());
        requestPending_ = false;
        exchange->callback(httpstatus::kIOError, nullptr);
        return;
    }
    if (error || bytes == 0) {
        if (connectOnDemand_ && exchange->reused) {
            RetryAfterFailure(exchange->url, exchange->request, std::move(exchange->callback));
            return;
        }
        logger_->error("Error while sending HTTP headers; reason: %s",
                       ErrorText(*exchange, error).c_str());
        Reset(httpstatus::kIOError, std::move(exchange->callback));
        return;
    }
    exchange->responseData = std::make_shared<AsyncHTTPResponseData>(
        exchange->url, exchange->requestData->isConnect,
        exchange->request->method == "HEAD", bodyLimit_,
        DebugWritten() ? &LoggerOf(responseDataLogger_, "AsyncHTTPResponseData") : nullptr);
    // A body decoded from a transfer coding goes on in pieces, not a read's
    // worth at once, when it is not kept.
    exchange->responseData->reader.SetBodyHandOff(
        bodySink_.pieceSize, [this, sent = exchange.get()] { return PassBody(*sent, false); });
    exchange->requestData.reset();
    auto& buffer = exchange->responseData->readBuffer;
    buffer = readBuffer_.size() == kReadSize ? std::move(readBuffer_)
                                             : core::NonInitializingBuffer<unsigned char>(kReadSize);
    // A plain tunnel's bytes that came with the proxy's answer come first.
    auto early = exchange->secure ? ByteBuffer() : exchange->socket->TakeTunnelInput();
    if (!early.empty()) {
        const std::size_t size = early.size();
        if (size > buffer.size()) {
            buffer = std::move(early);
        } else {
            std::memcpy(buffer.data(), early.data(), size);
        }
        OnResponseData(exchange, {}, size, 0);
        return;
    }
    ReadResponse(exchange);
}

void AsyncHTTPConnection::ReadResponse(const std::shared_ptr<Exchange>& exchange, bool takeWaiting) {
    if (!socket_) {
        Reset(httpstatus::kNotSent, std::move(exchange->callback));
        return;
    }
    // A body of announced length goes straight into its buffer; everything
    // else through the read buffer and the reader. What comes behind the
    // body in the same read goes to the read buffer: bytes nobody asked for
    // show up there, and the connection is not used again.
    auto& buffer = exchange->responseData->readBuffer;
    auto& reader = exchange->responseData->reader;
    auto window = reader.BodyWindow();
    if (exchange->responseData->sunkBody.PassesOn()) {
        // A body sunk or dropped goes in pieces: no read overfills one.
        const std::size_t held = reader.Body().size() % kSinkPieceSize;
        window.second = std::min(window.second, kSinkPieceSize - held);
    }
    const std::size_t inPlace = window.second;
    std::array<boost::asio::mutable_buffer, 2> into{
        boost::asio::buffer(window.first, window.second),
        boost::asio::buffer(buffer.data(), inPlace > 0 && exchange->secure ? 0 : buffer.size())};
    if (takeWaiting && !exchange->secure && !takingWaiting_) {
        // The rest of an answer is mostly there already (servers write the
        // head and the body apart): taken at once from a plain socket, it
        // costs no turn of the event loop. Once per handler, so that a long
        // body does not nest calls.
        iovec parts[2] = {{into[0].data(), into[0].size()}, {into[1].data(), into[1].size()}};
        msghdr message{};
        message.msg_iov = inPlace > 0 ? parts : parts + 1;
        message.msg_iovlen = inPlace > 0 ? 2 : 1;
        ssize_t taken = 0;
        do {
            taken = ::recvmsg(exchange->socket->GetTCPStream().native_handle(), &message, MSG_DONTWAIT);
        } while (taken < 0 && errno == EINTR);
        if (taken >= 0) {
            takingWaiting_ = true;
            const auto error = taken > 0 ? boost::system::error_code() : boost::asio::error::eof;
            try {
                OnResponseData(exchange, error, static_cast<std::size_t>(taken), inPlace);
            } catch (...) {
                takingWaiting_ = false;
                throw;
            }
            takingWaiting_ = false;
            return;
        }
        // Nothing there yet, or a failure: the stream waits, or reports it.
    }
    stepTimer_.StartStep(exchange);
    auto done = [self = sharedFromThis<AsyncHTTPConnection>(), exchange, inPlace](
                    const boost::system::error_code& error, std::size_t bytes) {
        self->OnResponseData(exchange, error, bytes, inPlace);
    };
    if (exchange->secure) {
        // TLS hands over its records one at a time: the window alone.
        exchange->socket->GetTLSStream().async_read_some(inPlace > 0 ? into[0] : into[1],
                                                         std::move(done));
    } else if (inPlace > 0) {
        exchange->socket->GetTCPStream().async_read_some(into, std::move(done));
    } else {
        exchange->socket->GetTCPStream().async_read_some(into[1], std::move(done));
    }
}

void AsyncHTTPConnection::OnResponseData(const std::shared_ptr<Exchange>& exchange,
                                         const boost::system::error_code& error, std::size_t bytes,
                                         std::size_t inPlace) {
    auto& response = *exchange->responseData;
    auto& reader = response.reader;
    if (Cancelled(*exchange)) {
        logger_->debug("HTTP request to <%s> cancelled while reading the response",
                       exchange->url.ToString().c_str());
        requestPending_ = false;
        exchange->callback(httpstatus::kIOError, nullptr);
        return;
    }
    HTTPResponseReader::Result result = HTTPResponseReader::Result::NeedMore;
    if (error) {
        if (!reader.ReceivedAny() && connectOnDemand_ && exchange->reused) {
            RetryAfterFailure(exchange->url, exchange->request, std::move(exchange->callback));
            return;
        }
        // The end of the stream ends a body read until then; anywhere else
        // it fails the step like any other read error.
        const bool ended = IsEndOfStream(error) && !exchange->timedOut;
        if (!ended || (result = reader.Finish()) == HTTPResponseReader::Result::Error) {
            // Why the end of the stream came too early; empty after a read error.
            failure_ = reader.ErrorText();
            LogReadFailure(reader, ErrorText(*exchange, error));
            Reset(httpstatus::kIOError, std::move(exchange->callback));
            return;
        }
    } else {
        // The bytes in place first; the rest went to the read buffer.
        const std::size_t placed = std::min(bytes, inPlace);
        if (placed > 0) {
            result = reader.CommitBody(placed);
        }
        const std::size_t buffered = bytes - placed;
        if (buffered > 0) {
            std::size_t consumed = 0;
            result = reader.Feed(response.readBuffer.data(), buffered, consumed);
            if (result == HTTPResponseReader::Result::Done && consumed < buffered) {
                response.leftover.append(response.readBuffer.data() + consumed, buffered - consumed);
            }
        }
    }
    HTTPResponseHead::Take(response, *cookieStore_);
    if (result != HTTPResponseReader::Result::InvalidStatus &&
        result != HTTPResponseReader::Result::Error &&
        !PassBody(*exchange, result == HTTPResponseReader::Result::Done)) {
        Reset(httpstatus::kIOError, std::move(exchange->callback));
        return;
    }
    switch (result) {
    case HTTPResponseReader::Result::NeedMore:
        ReadResponse(exchange, true);
        return;
    case HTTPResponseReader::Result::Done:
        Reset(exchange);
        return;
    case HTTPResponseReader::Result::InvalidStatus:
        response.Log().error("Invalid response received from <%s>", exchange->url.ToString().c_str());
        Reset(httpstatus::kInvalidResponse, std::move(exchange->callback));
        return;
    case HTTPResponseReader::Result::Error:
        failure_ = reader.ErrorText();
        logger_->error("Invalid HTTP response from <%s>: %s", exchange->url.ToString().c_str(),
                       failure_.c_str());
        Reset(httpstatus::kIOError, std::move(exchange->callback));
        return;
    }
}

void AsyncHTTPConnection::LogReadFailure(const HTTPResponseReader& reader,
                                         const std::string& reason) {
    logger_->error("%s; reason: %s", HTTPResponseHead::FailedStep(reader).c_str(), reason.c_str());
    logger_->debug("Data received: %s", ToHex(reader.PendingBytes()).c_str());
}

bool AsyncHTTPConnection::PassBody(const Exchange& exchange, bool complete) {
    auto& response = *exchange.responseData;
    if (!response.sunkBody.Decided()) {
        if (!response.reader.HeadComplete()) {
            return true;
        }
        response.sunkBody.Decide(response.reader, UseOfBody(exchange), bodyLimit_);
    }
    const auto result = response.sunkBody.Pass(response.reader, complete, bodySink_);
    if (result != HTTPSunkBody::Result::Ok) {
        failure_ = response.sunkBody.Error();
        logger_->error("Error while handing on the body from <%s>: %s",
                       exchange.url.ToString().c_str(), response.sunkBody.Error().c_str());
    }
    return result == HTTPSunkBody::Result::Ok;
}

AsyncHTTPConnection::BodyUse AsyncHTTPConnection::UseOfBody(const Exchange& exchange) const {
    auto& response = *exchange.responseData;
    const std::uint32_t status = response.reader.Status();
    // The body of a redirect that is followed is nobody's: it is neither
    // decoded nor handed on, whatever it holds.
    URL target;
    std::string refusal;
    if (const std::string* location = FindHeaderValue(response.reader.Headers(), "Location");
        location != nullptr &&
        RedirectTarget(exchange.url, *exchange.request, status, *location, target, refusal)) {
        return BodyUse::Dropped;
    }
    BodyUse use = bodySink_.takes ? bodySink_.takes(status)
                  : status >= 200 && status < 300 ? BodyUse::Sunk
                                                  : BodyUse::Kept;
    if (use == BodyUse::Sunk && (!bodySink_.sink || response.isConnect)) {
        use = BodyUse::Kept;
    }
    return use;
}

bool AsyncHTTPConnection::ShouldCloseConnection(bool isConnect, std::uint32_t version,
                                                std::uint32_t status,
                                                const HTTPHeaderList& headers) {
    return HTTPResponseHead::ClosesConnection(isConnect, version, status, headers);
}

void AsyncHTTPConnection::Reset(HTTPStatusCode code, HTTPCallback callback) {
    requestPending_ = false;
    if (connectOnDemand_ && code <= 99) {
        AsyncAbort([callback = std::move(callback), code]() { callback(code, nullptr); });
        return;
    }
    callback(code, nullptr);
}

void AsyncHTTPConnection::Reset(const std::shared_ptr<Exchange>& exchange) {
    exchange->finished = true;
    auto& response = *exchange->responseData;
    auto& reader = response.reader;
    // Bytes behind a switch of protocols or an opened tunnel are the new
    // protocol's, not a stray answer.
    const bool tunnel = response.isConnect && reader.Status() >= 200 && reader.Status() < 300;
    if (reader.Status() == 101 || tunnel) {
        upgradeBytes_ = std::move(response.leftover);
        response.leftover = {};
    }
    const bool close =
        ShouldCloseConnection(response.isConnect, reader.Version(), reader.Status(), reader.Headers()) ||
        reader.FramingRequiresClose() || !response.leftover.empty();
    if (close && connectOnDemand_) {
        // The answer is whole: delivered now, while the socket, let go of at
        // once, closes behind it (a TLS close waits for the peer's).
        const auto socket = socket_;
        AsyncClose({});
        if (socket_ == socket) {
            socket_.reset();
        }
    } else if (close) {
        // The supplied socket is its owner's: closed before the owner hears.
        AsyncClose([self = sharedFromThis<AsyncHTTPConnection>(), exchange] { self->Deliver(exchange); });
        return;
    }
    Deliver(exchange);
}

void AsyncHTTPConnection::Deliver(const std::shared_ptr<Exchange>& exchange) {
    requestPending_ = false;
    // No read is outstanding any more: the buffer goes back for the next response.
    readBuffer_ = std::move(exchange->responseData->readBuffer);
    std::string error;
    auto response = exchange->responseData->TakeResponse(bodyLimit_, error);
    if (!error.empty()) {
        failure_ = "the body does not decode: " + error;
        logger_->error("The body from <%s> does not decode: %s", exchange->url.ToString().c_str(),
                       error.c_str());
        exchange->callback(httpstatus::kIOError, nullptr);
        return;
    }
    const auto status = exchange->responseData->reader.Status();
    exchange->responseData.reset();
    // The callback may let go of the connection; its callers go on with it.
    const auto self = sharedFromThis<AsyncHTTPConnection>();
    exchange->callback(status, std::move(response));
}

}  // namespace network
