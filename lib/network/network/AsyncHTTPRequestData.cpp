#include "network/AsyncHTTPRequestData.h"

#include "network/DebugLogging.h"

namespace network {

AsyncHTTPRequestData::AsyncHTTPRequestData(URL url, common::ILogger* channel)
    : url(std::move(url)), channel(channel) {
    buffer.reserve(128);
    if (DebugWritten()) {
        Log().debug("HTTP request data context created.");
    }
}

AsyncHTTPRequestData::~AsyncHTTPRequestData() {
    if (DebugWritten()) {
        Log().debug("HTTP request data context released.");
    }
}

common::ILogger& AsyncHTTPRequestData::Log() {
    return channel != nullptr ? *channel : LoggerOf(logger, "AsyncHTTPRequestData");
}

}  // namespace network
