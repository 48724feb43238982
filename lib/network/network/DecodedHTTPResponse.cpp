#include "network/DecodedHTTPResponse.h"

#include <algorithm>

namespace network {

DecodedHTTPResponse::DecodedHTTPResponse(std::unique_ptr<IHTTPResponse> wrapped,
                                         std::uint64_t limit)
    : wrapped_(std::move(wrapped)) {
    body_ = wrapped_->TakeBody();
    std::vector<HTTPBodyDecoder::Coding> codings;
    std::string unknown;
    bool known = true;
    for (const auto& value : wrapped_->GetHeaders("Content-Encoding")) {
        known = HTTPBodyDecoder::ParseCodings(value, codings, unknown) && known;
    }
    HTTPBodyDecoder decoder(codings, limit);
    if (body_.empty()) {
        return;  // nothing is coded
    }
    if (!known) {
        // Bytes still coded never pass for the body.
        valid_ = false;
        error_ = "the content coding \"" + unknown + "\" is not known";
        body_ = {};
        return;
    }
    if (!decoder.Decodes()) {
        return;
    }
    core::NonInitializingBuffer<unsigned char> decoded;
    decoded.reserve(std::min<std::uint64_t>(HTTPBodyDecoder::DecodedBound(body_.size(), limit),
                                            std::max<std::size_t>(body_.size() * 4, 4096)));
    auto result = decoder.Feed(body_.data(), body_.size(),
                               [&decoded](const unsigned char* data, std::size_t size) {
                                   decoded.append(data, size);
                                   return true;
                               });
    if (result == HTTPBodyDecoder::Result::Ok) {
        result = decoder.Finish();
    }
    if (result != HTTPBodyDecoder::Result::Ok) {
        valid_ = false;
        error_ = decoder.Error();
        body_ = {};
        return;
    }
    body_ = std::move(decoded);
}

std::string DecodedHTTPResponse::GetHeader(const std::string& name) {
    return wrapped_->GetHeader(name);
}

std::vector<std::string> DecodedHTTPResponse::GetHeaders(const std::string& name) {
    return wrapped_->GetHeaders(name);
}

core::NonInitializingBuffer<unsigned char> DecodedHTTPResponse::TakeBody() {
    return std::move(body_);
}

}  // namespace network
