#include "network/AsyncHTTPResponseData.h"

#include "network/DebugLogging.h"

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

}  // namespace network
