#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "network/HTTPBodyDecoder.h"
#include "network/IHTTPResponse.h"

namespace network {

// A response whose body was content-coded ("Content-Encoding"). The body is
// decoded when the wrapper is made: gzip and x-gzip (every member), deflate
// (zlib or raw), identity passed through, codings applied last undone first.
// A list naming any other coding leaves no body: the response is not valid,
// as the body cannot be decoded. Header lookups answer from the wrapped
// response.
class DecodedHTTPResponse : public IHTTPResponse {
public:
    // Past kFreeDecodedSize, a body may decode to at most kMaxRatio times its
    // coded size: a small coded body cannot claim gigabytes of memory.
    static constexpr std::uint64_t kFreeDecodedSize = HTTPBodyDecoder::kFreeDecodedSize;
    static constexpr std::uint64_t kMaxRatio = HTTPBodyDecoder::kMaxRatio;

    // `limit` bounds the decoded size further.
    DecodedHTTPResponse(std::unique_ptr<IHTTPResponse> wrapped, std::uint64_t limit);

    // False when the body did not decode (corrupt, cut short, larger than
    // the bound, or in a coding not known); the body is then empty and
    // `Error` says why. An empty body decodes in any coding.
    bool IsValid() const { return valid_; }
    const std::string& Error() const { return error_; }

    std::string GetHeader(const std::string& name) override;
    std::vector<std::string> GetHeaders(const std::string& name) override;
    core::NonInitializingBuffer<unsigned char> TakeBody() override;

    // The response as received (its body taken).
    const IHTTPResponse& Wrapped() const { return *wrapped_; }

private:
    std::unique_ptr<IHTTPResponse> wrapped_;
    core::NonInitializingBuffer<unsigned char> body_;
    bool valid_ = true;
    std::string error_;
};

}  // namespace network
