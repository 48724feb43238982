#include "network/HTTPSunkBody.h"

#include <vector>

namespace network {

void HTTPSunkBody::Decide(HTTPResponseReader& reader, bool isConnect, std::uint64_t limit,
                          const Filter& takes) {
    decided_ = true;
    const std::uint32_t status = reader.Status();
    sinks_ = !isConnect && (takes ? takes(status) : status >= 200 && status < 300);
    if (!sinks_) {
        return;
    }
    std::vector<HTTPBodyDecoder::Coding> codings;
    std::string unknown;
    bool known = true;
    for (const auto& [name, value] : reader.Headers()) {
        if (HeaderNameEquals(name, "Content-Encoding")) {
            known = HTTPBodyDecoder::ParseCodings(value, codings, unknown) && known;
        }
    }
    if (known && !codings.empty()) {
        decoder_ = std::make_unique<HTTPBodyDecoder>(codings, limit);
        if (!decoder_->Decodes()) {
            decoder_.reset();
        }
    }
}

HTTPSunkBody::Result HTTPSunkBody::Pass(HTTPResponseReader& reader, bool isConnect, bool complete,
                                        std::uint64_t limit, const Target& target) {
    if (!decided_ && reader.HeadComplete()) {
        Decide(reader, isConnect, limit, target.takes);
    }
    if (!sinks_) {
        return Result::Ok;
    }
    auto& body = reader.Body();
    HTTPBodyDecoder::Result result = HTTPBodyDecoder::Result::Ok;
    if (!body.empty() && (complete || body.size() >= target.pieceSize)) {
        if (decoder_) {
            result = decoder_->Feed(body.data(), body.size(), target.sink);
        } else if (!target.sink(body.data(), body.size())) {
            result = HTTPBodyDecoder::Result::Refused;
        }
        reader.ReleaseBody();
    }
    if (result == HTTPBodyDecoder::Result::Ok && complete && decoder_) {
        result = decoder_->Finish();
    }
    if (result == HTTPBodyDecoder::Result::Failed) {
        error_ = "the body does not decode: " + decoder_->Error();
        return Result::DoesNotDecode;
    }
    if (result == HTTPBodyDecoder::Result::Refused) {
        error_ = "the body sink refused a piece of it";
        return Result::Refused;
    }
    return Result::Ok;
}

}  // namespace network
