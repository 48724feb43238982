#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// One HTTP request, sent on the Qt thread, with its response collected for
// the caller. Configure it (URL, verb, headers, body, handlers, ignore list),
// start it once (execute, downloadFile or transferFile), and read the results
// in or after the finished handler. Text crosses as UTF-8, response bytes as
// a byte vector.
//
// The finished, error and SSL-errors handlers run as tasks of the queue
// "QtCorePlatform::HttpQuery" (the main thread), an error always before the
// finished report; the progress handlers run on the Qt thread.
class IHttpQuery {
public:
    // The verb that execute sends.
    enum Operation : std::int32_t { GET = 0, POST = 1, PUT = 2, PATCH = 3, DELETE = 4 };

    // The outcome handed to the error handler, one dense range in the order
    // of the network errors it stands for.
    enum Error : std::int32_t {
        NoError = 0,
        ConnectionRefusedError = 1,
        RemoteHostClosedError = 2,
        HostNotFoundError = 3,
        TimeoutError = 4,
        OperationCanceledError = 5,
        SslHandshakeFailedError = 6,
        TemporaryNetworkFailureError = 7,
        NetworkSessionFailedError = 8,
        BackgroundRequestNotAllowedError = 9,
        TooManyRedirectsError = 10,
        InsecureRedirectError = 11,
        UnknownNetworkError = 12,
        ProxyConnectionRefusedError = 13,
        ProxyConnectionClosedError = 14,
        ProxyNotFoundError = 15,
        ProxyTimeoutError = 16,
        ProxyAuthenticationRequiredError = 17,
        UnknownProxyError = 18,
        ContentAccessDenied = 19,
        ContentOperationNotPermittedError = 20,
        ContentNotFoundError = 21,
        AuthenticationRequiredError = 22,
        ContentReSendError = 23,
        ContentConflictError = 24,
        ContentGoneError = 25,
        UnknownContentError = 26,
        ProtocolUnknownError = 27,
        ProtocolInvalidOperationError = 28,
        ProtocolFailure = 29,
        InternalServerError = 30,
        OperationNotImplementedError = 31,
        ServiceUnavailableError = 32,
        UnknownServerError = 33
    };

    // What a progress handler gets: the total as the transfer knows it (-1
    // when unknown), the bytes moved so far, and the path given to
    // downloadFile or transferFile.
    struct ProgressInfo {
        std::int64_t total = 0;
        std::int64_t done = 0;
        std::string filePath;
    };

    using FinishedHandler = std::function<void(bool success)>;
    using ErrorHandler = std::function<void(Error)>;
    using SslErrorsHandler = std::function<void(std::vector<int>)>;
    using ProgressHandler = std::function<void(ProgressInfo)>;

    virtual ~IHttpQuery() = default;

    // Picks the proxy for `url` (installing it for the whole process when one
    // is found), then sets the request's URL.
    virtual void setUrl(const std::string& url) = 0;
    virtual void setOperation(Operation operation) = 0;
    // A raw request header; a later call with the same name replaces it.
    virtual void setHeader(const std::string& name, const std::string& value) = 0;

    virtual void setFinishedHandler(FinishedHandler handler) = 0;
    virtual void setErrorHandler(ErrorHandler handler) = 0;
    virtual void setDownloadProgressHandler(ProgressHandler handler) = 0;
    virtual void setUploadProgressHandler(ProgressHandler handler) = 0;
    // Gets the codes of certificate errors that the ignore list does not cover.
    virtual void setSslErrorsHandler(SslErrorsHandler handler) = 0;

    // Sent by execute with every verb, byte for byte.
    virtual void setBody(const std::string& body) = 0;
    virtual void setContentType(const std::string& contentType) = 0;
    // Follows redirects, except from HTTPS to HTTP. The request then wants
    // the resource: a final answer that carries none and is not followed (a
    // 1xx, a 300, a 3xx without a target, a 304 to a request that carried
    // neither If-None-Match nor If-Modified-Since), which Qt takes without an
    // error, ends it with ProtocolFailure, its status and body kept as for
    // any answer. The body of a redirect that is followed is read and
    // dropped, whatever its length.
    virtual void setFollowRedirects() = 0;

    virtual const std::vector<char>& getResponseData() const = 0;
    // The response data as UTF-8 text, each piece of the body converted as
    // it arrived: malformed bytes become U+FFFD, a character split between
    // pieces is joined, and the text of a piece ends at its first NUL. Made
    // on the first call from the data; read it in or after the finished
    // handler.
    virtual const std::string& getResponseText() const = 0;
    virtual const std::map<std::string, std::string>& getResponseHeaders() const = 0;
    // The value of the response header named so, without regard to case;
    // empty when there is none.
    virtual std::string getResponseHeader(const std::string& name) const = 0;
    // The HTTP status of the finished reply; 0 when it carried none.
    virtual int getStatusCode() const = 0;

    // Each way of sending takes http and https URLs only: any other scheme
    // (file, data, ftp, ...) ends the query with ProtocolUnknownError before
    // anything is sent or any file is touched.
    //
    // Sends the request with the verb of setOperation.
    virtual void execute() = 0;
    // GETs the URL into the file at `filePath` (UTF-8), which the body
    // replaces only once the transfer has succeeded; a failed transfer
    // leaves an existing file as it was and nothing beside it. A device or
    // a FIFO is written where it is; a link to a regular file is refused,
    // and so is, in a shared folder (sticky and writable by every user),
    // what another user put at the name. Only the body of a 2xx answer is
    // written; a 204 succeeds and leaves the file as it was (nothing is made
    // where there is none); the body of any other answer (a 404's page) is
    // read and dropped as it comes. A 1xx or 3xx answer fails as it does
    // with setFollowRedirects, with or without it. A body coded with gzip or
    // deflate is decoded as it is for execute and must end where the stream
    // does; the file that cannot be made, written or put in place ends the
    // transfer with ContentAccessDenied (see downloadFileError), before the
    // request when that can be known then.
    virtual void downloadFile(const std::string& filePath) = 0;
    // PUTs the file at `filePath` (UTF-8) as the body.
    virtual void transferFile(const std::string& filePath) = 0;
    // Cancels the running request: the error handler gets
    // OperationCanceledError, the finished handler false.
    virtual void abort() = 0;
    // From any thread, for a process about to end (on a closing signal):
    // removes the file that downloadFile made beside its target, and keeps
    // one from being made or put in place after; the transfer itself goes
    // on until it fails or the query goes. Call it before releasing the
    // query, never after.
    virtual void abandonDownload() {}
    // Forgets the request (URL, headers, redirect policy), the body and the
    // response data and text.
    virtual void reset() = 0;
    // Blocks until the outcome is known or `timeoutMs` has passed (for ever
    // when negative); true when the outcome is known.
    virtual bool wait(int timeoutMs) = 0;

    // The certificate errors (Qt's codes 0 to 24, anything else standing for
    // -1) that may be ignored.
    virtual void setIgnoredSslErrors(const std::vector<int>& errors) = 0;
    // Drops every handler; outcomes posted before and not yet run are dropped.
    virtual void resetHandlers() = 0;

    // The transfer time-out, in the manner of curl's low-speed limit: the
    // transfer is looked at every `timeoutMs` from its start, and when fewer
    // than `lowSpeedLimit` bytes a second on average (at least one byte) have
    // been received or sent since the last look, it is aborted and reported
    // as TimeoutError. A peer that answers nothing, or trickles a byte now
    // and then, is thus given up within `timeoutMs` (30 s and 1 KiB/s unless
    // set); a slow but live one is not. A `timeoutMs` of 0 or less switches
    // the time-out off. Set before the request is started. The default body
    // is for stand-ins that move no bytes of their own.
    static constexpr int kDefaultTransferTimeoutMs = 30000;
    static constexpr std::int64_t kDefaultLowSpeedLimit = 1024;
    virtual void setTransferTimeout(int /*timeoutMs*/, std::int64_t /*lowSpeedLimit*/) {}

    // The largest response body the query holds in memory (execute, and the
    // answer to transferFile), counted after any gzip or deflate decoding:
    // a longer body, one announced longer (refused at the head, before any
    // of it is read), a compressed one that decodes to more than 40 times
    // its size once past 10 MiB, or one that memory cannot hold, ends the
    // request with UnknownContentError, leaves the response data and text
    // empty and makes bodyRefused true. The body is held once, taken as it
    // arrives; a compressed one is decoded piece by piece. The body of
    // downloadFile goes to its file and has no limit of size, but a
    // compressed one is refused by the same ratio. Set before the request is
    // started. Not bounded by any of this: the body of a 401 or 407 answer,
    // which Qt's network thread reads whole (so that it may send the request
    // again with credentials on the same connection) before it hands on the
    // head or any byte of it; the query then holds at most 4 MiB of it.
    static constexpr std::int64_t kDefaultMaximumBodySize = std::int64_t{2} * 1024 * 1024 * 1024;
    virtual void setMaximumBodySize(std::int64_t /*bytes*/) {}
    // True once the reply's body has been refused as above: sending the
    // request again would meet the same body. Read it in or after the error
    // handler.
    virtual bool bodyRefused() const { return false; }
    // Why the file of downloadFile could not be made, written or put in
    // place, in the system's words ("No space left on device", "File too
    // large", ...) or why what stands at its name is refused ("a link to a
    // regular file is refused"), once the error handler got
    // ContentAccessDenied for it; empty otherwise.
    virtual std::string downloadFileError() const { return {}; }
    // True once the request has ended with UnknownNetworkError because Qt
    // could not start a thread that it needs for it (under a limit of
    // address space or processes, say): it was not sent, and sending it
    // again would wait for the same. Read it in or after the error handler.
    virtual bool threadRefused() const { return false; }
};
