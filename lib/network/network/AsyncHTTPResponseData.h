#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/logging/ILogger.h"
#include "core/NonInitializingBuffer.h"
#include "network/HTTPResponseReader.h"
#include "network/IHTTPResponse.h"
#include "network/HTTPSunkBody.h"
#include "network/URL.h"

namespace network {

// One response while it is read: the reader that frames it, the read buffer
// lent by the connection, what of its body went to a body sink, and the
// bytes that came behind it; then the response it makes.
struct AsyncHTTPResponseData {
    // `channel`: as for AsyncHTTPRequestData, of the channel "AsyncHTTPResponseData".
    AsyncHTTPResponseData(URL url, bool isConnect, bool isHead, std::uint64_t bodyLimit,
                          common::ILogger* channel = nullptr);
    ~AsyncHTTPResponseData();
    // As AsyncHTTPRequestData::Log.
    common::ILogger& Log();
    // The response read, taking the reader's headers and body (of a body
    // dropped, the start kept): decoded when it is content-coded (at most
    // `limit` bytes), with `error` saying why a body does not decode.
    std::unique_ptr<IHTTPResponse> TakeResponse(std::uint64_t limit, std::string& error);

    URL url;
    bool isConnect = false;
    HTTPResponseReader reader;
    // The connection's read buffer, lent to the record while it reads.
    core::NonInitializingBuffer<unsigned char> readBuffer;
    core::NonInitializingBuffer<unsigned char> leftover;  // bytes behind the response
    bool cookiesTaken = false;
    HTTPSunkBody sunkBody;
    std::unique_ptr<common::ILogger> logger;
    common::ILogger* channel = nullptr;
};

}  // namespace network
