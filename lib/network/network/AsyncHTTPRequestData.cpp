#include "network/AsyncHTTPRequestData.h"

#include "network/DebugLogging.h"

namespace network {

AsyncHTTPRequestData::AsyncHTTPRequestData(URL url) : url(std::move(url)) {
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
    return LoggerOf(logger, "AsyncHTTPRequestData");
}

}  // namespace network
