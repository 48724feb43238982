#include "network/HTTPResponseReader.h"

#include <algorithm>
#include <cstring>

#include <string_view>
#include <tuple>
#include <vector>

#include "network/HTTPListElements.h"
#include "network/Hex.h"

namespace network {

namespace {

// A Content-Length value: one or more decimal digits, nothing else.
bool ParseLength(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

}  // namespace

HTTPResponseReader::HTTPResponseReader(bool headRequest, bool connectRequest,
                                       std::uint64_t bodyLimit)
    : headRequest_(headRequest), connectRequest_(connectRequest), bodyLimit_(bodyLimit) {}

HTTPResponseReader::Result HTTPResponseReader::Fail(std::string text, Result result) {
    if (state_ != State::Failed) {
        failedIn_ = state_;
    }
    state_ = State::Failed;
    error_ = std::move(text);
    return result;
}

bool HTTPResponseReader::TakeLine(const unsigned char* data, std::size_t size, std::size_t& at,
                                  std::size_t limit) {
    const auto* start = data + at;
    const auto* end = data + size;
    const auto* lf = static_cast<const unsigned char*>(std::memchr(start, '\n', end - start));
    const std::size_t count = (lf != nullptr ? lf + 1 : end) - start;
    if (line_.size() + count > limit) {
        lineOverflow_ = true;
        at = size;
        return false;
    }
    at += count;
    if (lf == nullptr) {
        line_.append(reinterpret_cast<const char*>(start), count);
        return false;
    }
    if (line_.empty()) {
        text_ = std::string_view(reinterpret_cast<const char*>(start), count - 1);
    } else {
        line_.append(reinterpret_cast<const char*>(start), count - 1);
        text_ = line_;
    }
    if (!text_.empty() && text_.back() == '\r') {
        text_.remove_suffix(1);
    }
    return true;
}

HTTPResponseReader::Result HTTPResponseReader::Feed(const unsigned char* data, std::size_t size,
                                                    std::size_t& consumed) {
    std::size_t at = 0;
    consumed = 0;
    if (size > 0) {
        receivedAny_ = true;
    }
    while (at < size) {
        switch (state_) {
        case State::StatusLine:
        case State::Headers:
        case State::Trailers: {
            const std::size_t before = at;
            const std::size_t limit = state_ == State::Trailers ? kChunkLineLimit : kHeadLimit;
            const bool complete = TakeLine(data, size, at, limit);
            headBytes_ += at - before;
            if (lineOverflow_ || headBytes_ > kHeadLimit) {
                consumed = at;
                return Fail("the response head is larger than " + std::to_string(kHeadLimit) +
                            " bytes");
            }
            if (!complete) {
                break;
            }
            Result result = Result::NeedMore;
            if (state_ == State::StatusLine) {
                result = OnStatusLine();
            } else if (state_ == State::Headers) {
                result = text_.empty() ? OnHeadEnd() : OnHeaderLine();
            } else if (text_.empty()) {
                state_ = State::Done;
            }
            line_.clear();
            if (result != Result::NeedMore) {
                consumed = at;
                return result;
            }
            break;
        }
        case State::ChunkSize: {
            const bool complete = TakeLine(data, size, at, kChunkLineLimit);
            if (lineOverflow_) {
                consumed = at;
                return Fail("a chunk-size line is longer than " + std::to_string(kChunkLineLimit) +
                            " bytes");
            }
            if (complete) {
                const Result result = OnChunkSizeLine();
                line_.clear();
                if (result != Result::NeedMore) {
                    consumed = at;
                    return result;
                }
            }
            break;
        }
        case State::FixedBody:
        case State::ChunkData: {
            const std::size_t count =
                static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, size - at));
            if (!AppendBody(data + at, count)) {
                consumed = at;
                return Result::Error;
            }
            at += count;
            remaining_ -= count;
            if (remaining_ == 0) {
                if (state_ == State::FixedBody) {
                    state_ = State::Done;
                } else {
                    state_ = State::ChunkDataEnd;
                    remaining_ = 2;
                }
            }
            break;
        }
        case State::ChunkDataEnd: {
            const char expected = remaining_ == 2 ? '\r' : '\n';
            if (static_cast<char>(data[at]) != expected) {
                consumed = at;
                return Fail("a chunk does not end with CRLF");
            }
            ++at;
            if (--remaining_ == 0) {
                state_ = State::ChunkSize;
            }
            break;
        }
        case State::UntilEnd:
            if (!AppendBody(data + at, size - at)) {
                consumed = at;
                return Result::Error;
            }
            at = size;
            break;
        case State::Done:
            consumed = at;
            return Result::Done;
        case State::Failed:
            consumed = at;
            return Result::Error;
        }
    }
    consumed = at;
    if (state_ == State::Done) {
        return Result::Done;
    }
    return state_ == State::Failed ? Result::Error : Result::NeedMore;
}

HTTPResponseReader::Step HTTPResponseReader::CurrentStep() const {
    switch (state_ == State::Failed ? failedIn_ : state_) {
    case State::StatusLine:
        return Step::StatusLine;
    case State::Headers:
        return Step::Headers;
    case State::FixedBody:
        return Step::FixedBody;
    case State::UntilEnd:
        return Step::UntilEnd;
    case State::ChunkSize:
    case State::ChunkDataEnd:
    case State::Trailers:
        return Step::ChunkSize;
    case State::ChunkData:
        return Step::ChunkData;
    default:
        return Step::Done;
    }
}

HTTPResponseReader::Result HTTPResponseReader::Finish() {
    switch (state_) {
    case State::UntilEnd:
        if (!FinishTransferDecoding()) {
            return Result::Error;
        }
        state_ = State::Done;
        return Result::Done;
    case State::Done:
        return Result::Done;
    case State::Failed:
        return Result::Error;
    case State::StatusLine:
    case State::Headers:
        return Fail("the stream ended inside the response head");
    default:
        return Fail("the stream ended inside the body");
    }
}

std::pair<unsigned char*, std::size_t> HTTPResponseReader::BodyWindow() {
    if (state_ != State::FixedBody) {
        return {nullptr, 0};
    }
    if (body_.capacity() == body_.size()) {
        body_.reserve(body_.size() +
                      static_cast<std::size_t>(std::min<std::uint64_t>(
                          remaining_, std::max<std::size_t>(body_.size(), kChunkLineLimit))));
    }
    const std::size_t room = body_.capacity() - body_.size();
    return {body_.data() + body_.size(),
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, room))};
}

HTTPResponseReader::Result HTTPResponseReader::CommitBody(std::size_t size) {
    receivedAny_ = true;
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
    body_.resize(body_.size() + count);
    remaining_ -= count;
    if (remaining_ == 0) {
        state_ = State::Done;
        return Result::Done;
    }
    return Result::NeedMore;
}

HTTPResponseReader::Result HTTPResponseReader::OnStatusLine() {
    // "HTTP/" version, one space, three digits, then a space or nothing.
    const std::string_view line = text_;
    const auto space = line.find(' ');
    const bool shaped = space != std::string::npos && space > 5 && line.compare(0, 5, "HTTP/") == 0 &&
                        line.size() >= space + 4 &&
                        (line.size() == space + 4 || line[space + 4] == ' ');
    if (!shaped) {
        return Fail("invalid status line", Result::InvalidStatus);
    }
    std::uint32_t status = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i) {
        if (line[i] < '0' || line[i] > '9') {
            return Fail("invalid status line", Result::InvalidStatus);
        }
        status = status * 10 + static_cast<std::uint32_t>(line[i] - '0');
    }
    if (status < 100) {
        return Fail("invalid status line", Result::InvalidStatus);
    }
    statusLine_ = line;
    const std::string_view version = line.substr(5, space - 5);
    version_ = version == "1.1" ? 2 : version == "1.0" ? 1 : 0;
    status_ = status;
    headers_.clear();
    headers_.reserve(kTypicalHeaderCount);
    state_ = State::Headers;
    return Result::NeedMore;
}

HTTPResponseReader::Result HTTPResponseReader::OnHeaderLine() {
    // A line's own CR is gone; any other CR, and any NUL, would reach
    // whoever prints or forwards the header (RFC 9110 section 5.5).
    if (std::memchr(text_.data(), '\r', text_.size()) != nullptr ||
        std::memchr(text_.data(), '\0', text_.size()) != nullptr) {
        return Fail("a header line holds NUL or a bare CR");
    }
    const std::string_view line = text_;
    const auto colon = line.find(':');
    if (colon == 0) {
        return Fail("a header line without a name");
    }
    if (colon == std::string_view::npos) {
        // Not a header; kept as the library always did, the whole line as the
        // name and, trimmed at its start, as the value.
        auto value = line;
        while (!value.empty() && IsHTTPBlank(value.front())) {
            value.remove_prefix(1);
        }
        headers_.emplace_back(std::string(line), std::string(value));
        return Result::NeedMore;
    }
    const auto value = TrimmedHTTPBlanks(line.substr(colon + 1));
    headers_.emplace_back(std::piecewise_construct, std::forward_as_tuple(line.data(), colon),
                          std::forward_as_tuple(value.data(), value.size()));
    return Result::NeedMore;
}

HTTPResponseReader::Result HTTPResponseReader::OnHeadEnd() {
    if (status_ < 200 && status_ != 101) {
        // An interim answer: the final one follows.
        state_ = State::StatusLine;
        status_ = 0;
        headers_.clear();
        return Result::NeedMore;
    }
    headComplete_ = true;
    if (headRequest_ || status_ < 200 || status_ == 204 || status_ == 304 ||
        (connectRequest_ && status_ < 300)) {
        state_ = State::Done;
        return Result::Done;
    }
    // Whether there are transfer codings, and the Content-Length values: the
    // first, and whether any differs from it or is no number.
    std::string_view firstLength;
    bool anyCoding = false;
    bool anyLength = false;
    bool lengthsDiffer = false;
    std::uint64_t length = 0;
    for (const auto& [name, value] : headers_) {
        if (HeaderNameEquals(name, "Transfer-Encoding")) {
            ForEachListElement(value, [&](std::string_view) { anyCoding = true; });
        } else if (HeaderNameEquals(name, "Content-Length")) {
            ForEachListElement(value, [&](std::string_view text) {
                std::uint64_t other = 0;
                if (!anyLength) {
                    anyLength = true;
                    firstLength = text;
                    ParseLength(text, length);
                } else if (!ParseLength(text, other) || other != length) {
                    lengthsDiffer = true;
                }
            });
        }
    }
    if (anyCoding) {
        return OnTransferCodings(anyLength);
    }
    if (anyLength) {
        if (!ParseLength(firstLength, length)) {
            return Fail("invalid Content-Length \"" + std::string(firstLength) + "\"");
        }
        if (lengthsDiffer) {
            return Fail("differing Content-Length values");
        }
        if (length > bodyLimit_) {
            return Fail("the body is larger than " + std::to_string(bodyLimit_) + " bytes");
        }
        if (length == 0) {
            state_ = State::Done;
            return Result::Done;
        }
        // Room for the announced body, up to a bound: a length that is
        // announced but never sent must not take memory by itself.
        body_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(length, kBodyReserveLimit)));
        remaining_ = length;
        state_ = State::FixedBody;
        return Result::NeedMore;
    }
    framingRequiresClose_ = true;
    state_ = State::UntilEnd;
    return Result::NeedMore;
}

HTTPResponseReader::Result HTTPResponseReader::OnTransferCodings(bool lengthGiven) {
    // Content-Length beside Transfer-Encoding: the codings frame the body,
    // and the connection is not trusted with another (RFC 9112 section 6.3).
    framingRequiresClose_ = lengthGiven;
    std::vector<HTTPBodyDecoder::Coding> codings;
    std::string unknown;
    bool chunked = false;        // the last coding is chunked
    bool overChunked = false;    // a coding was applied over chunked
    for (const auto& [name, value] : headers_) {
        if (!HeaderNameEquals(name, "Transfer-Encoding")) {
            continue;
        }
        ForEachListElement(value, [&](std::string_view coding) {
            overChunked = overChunked || chunked;
            chunked = HeaderNameEquals(coding, "chunked");
            if (!chunked && unknown.empty()) {
                HTTPBodyDecoder::ParseCodings(coding, codings, unknown);
            }
        });
    }
    // A coding not understood is an error (RFC 9112 section 6.1), and so is
    // one over chunked: the body would end with the stream, but stay chunked
    // inside, which this reader does not undo.
    if (!unknown.empty()) {
        return Fail("the transfer coding \"" + unknown + "\" is not supported");
    }
    if (overChunked) {
        return Fail("a transfer coding applied over chunked is not supported");
    }
    transferDecoder_ = std::make_unique<HTTPBodyDecoder>(codings, bodyLimit_);
    if (!transferDecoder_->Decodes()) {
        transferDecoder_.reset();
    }
    if (chunked) {
        state_ = State::ChunkSize;
        return Result::NeedMore;
    }
    // Not chunked last: the body ends with the stream (RFC 9112 section 6.3).
    framingRequiresClose_ = true;
    state_ = State::UntilEnd;
    return Result::NeedMore;
}

HTTPResponseReader::Result HTTPResponseReader::OnChunkSizeLine() {
    std::uint64_t size = 0;
    std::size_t at = 0;
    for (; at < text_.size(); ++at) {
        const int digit = HexDigitValue(text_[at]);
        if (digit < 0) {
            break;
        }
        if (size > (bodyLimit_ >> 4) || at >= 16) {
            return Fail("the body is larger than " + std::to_string(bodyLimit_) + " bytes");
        }
        size = size * 16 + static_cast<std::uint64_t>(digit);
    }
    if (at == 0) {
        return Fail("a chunk-size line without a size");
    }
    while (at < text_.size() && IsHTTPBlank(text_[at])) {
        ++at;
    }
    if (at < text_.size() && text_[at] != ';') {
        return Fail("a malformed chunk-size line");
    }
    if (size == 0) {
        if (!FinishTransferDecoding()) {
            return Result::Error;
        }
        state_ = State::Trailers;
        return Result::NeedMore;
    }
    if (size > BodyRoom()) {
        return Fail("the body is larger than " + std::to_string(bodyLimit_) + " bytes");
    }
    remaining_ = size;
    chunkSize_ = size;
    state_ = State::ChunkData;
    return Result::NeedMore;
}

void HTTPResponseReader::ReleaseBody() {
    bodyReleased_ += body_.size();
    body_.resize(0);
}

std::uint64_t HTTPResponseReader::BodyRoom() const {
    return bodyLimit_ -
           (transferDecoder_ ? transferDecoder_->CodedSize() : bodyReleased_ + body_.size());
}

bool HTTPResponseReader::AppendBody(const unsigned char* data, std::size_t size) {
    if (size > BodyRoom()) {
        Fail("the body is larger than " + std::to_string(bodyLimit_) + " bytes");
        return false;
    }
    if (!transferDecoder_) {
        body_.append(data, size);
        return true;
    }
    // The decoder bounds the decoded body by the same limit.
    const auto result = transferDecoder_->Feed(data, size, [this](const unsigned char* decoded,
                                                                  std::size_t count) {
        body_.append(decoded, count);
        return !handOff_ || body_.size() < handOffSize_ || handOff_();
    });
    if (result == HTTPBodyDecoder::Result::Refused) {
        Fail("the decoded body was not taken");
        return false;
    }
    if (result != HTTPBodyDecoder::Result::Ok) {
        Fail("the transfer-coded body does not decode: " + transferDecoder_->Error());
        return false;
    }
    return true;
}

bool HTTPResponseReader::FinishTransferDecoding() {
    if (transferDecoder_ && transferDecoder_->Finish() != HTTPBodyDecoder::Result::Ok) {
        Fail("the transfer-coded body does not decode: " + transferDecoder_->Error());
        return false;
    }
    return true;
}

}  // namespace network
