#include "network/HTTPSunkBody.h"

#include <algorithm>
#include <vector>

namespace network {

void HTTPSunkBody::Decide(HTTPResponseReader& reader, Use use, std::uint64_t limit) {
    decided_ = true;
    use_ = use;
    if (use_ == Use::Kept) {
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
    auto decoder = std::make_unique<HTTPBodyDecoder>(codings, limit);
    const bool coded = !known || decoder->Decodes();
    if (use_ == Use::Dropped) {
        // What is still coded is no message.
        keepsStart_ = !coded;
        return;
    }
    if (!known) {
        unknown_ = unknown;
    } else if (decoder->Decodes()) {
        decoder_ = std::move(decoder);
    }
}

HTTPSunkBody::Result HTTPSunkBody::Pass(HTTPResponseReader& reader, bool complete,
                                        const Target& target) {
    if (!PassesOn()) {
        return Result::Ok;
    }
    auto& body = reader.Body();
    if (!unknown_.empty() && !body.empty()) {
        error_ = "the body does not decode: the content coding \"" + unknown_ + "\" is not known";
        return Result::DoesNotDecode;
    }
    HTTPBodyDecoder::Result result = HTTPBodyDecoder::Result::Ok;
    if (!body.empty() && (complete || body.size() >= target.pieceSize)) {
        if (use_ == Use::Dropped) {
            if (keepsStart_ && keptStart_.size() < kKeptStart) {
                keptStart_.append(body.data(),
                                  std::min(body.size(), kKeptStart - keptStart_.size()));
            }
        } else if (decoder_) {
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
