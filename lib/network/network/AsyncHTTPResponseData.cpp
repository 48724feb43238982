#include "network/AsyncHTTPResponseData.h"

#include <algorithm>

#include "network/DebugLogging.h"
#include "network/DecodedHTTPResponse.h"
#include "network/HTTPListElements.h"
#include "network/PlainHTTPResponse.h"

namespace network {

AsyncHTTPResponseData::AsyncHTTPResponseData(URL url, bool isConnect, bool isHead,
                                             std::uint64_t bodyLimit, common::ILogger* channel)
    : url(std::move(url)),
      isConnect(isConnect),
      reader(isHead, isConnect, bodyLimit),
      channel(channel) {
    if (DebugWritten()) {
        Log().debug("HTTP response data context created.");
    }
}

AsyncHTTPResponseData::~AsyncHTTPResponseData() {
    if (DebugWritten()) {
        Log().debug("HTTP response data context released.");
    }
}

common::ILogger& AsyncHTTPResponseData::Log() {
    return channel != nullptr ? *channel : LoggerOf(logger, "AsyncHTTPResponseData");
}

std::unique_ptr<IHTTPResponse> AsyncHTTPResponseData::TakeResponse(std::uint64_t limit,
                                                                   std::string& error) {
    auto headers = std::move(reader.Headers());
    // Any line that names a coding: a first one left empty hides none.
    const bool coded = std::any_of(headers.begin(), headers.end(), [](const auto& header) {
        return HeaderNameEquals(header.first, "Content-Encoding") &&
               !TrimmedHTTPBlanks(header.second).empty();
    });
    auto plain = std::make_unique<PlainHTTPResponse>(
        std::move(headers),
        sunkBody.Dropped() ? sunkBody.TakeKeptStart() : std::move(reader.Body()));
    if (!coded) {
        return plain;
    }
    auto decoded = std::make_unique<DecodedHTTPResponse>(std::move(plain), limit);
    error = decoded->Error();
    return decoded;
}

}  // namespace network
