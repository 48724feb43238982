#pragma once

#include <memory>
#include <string>

#include "common/logging/ILogger.h"
#include "network/URL.h"

namespace network {

// The bytes of one transmission of a request: made afresh for every send (a
// retry or a redirect makes a new one) and held by the write until it ends.
struct AsyncHTTPRequestData {
    // `channel`: a logger of the channel "AsyncHTTPRequestData" that the
    // record may use instead of one of its own (the connection's, shared by
    // its records); it outlives the record.
    explicit AsyncHTTPRequestData(URL url, common::ILogger* channel = nullptr);
    ~AsyncHTTPRequestData();
    // The record's logger, made on first use: a record none of whose lines
    // is written makes none.
    common::ILogger& Log();

    URL url;
    std::string buffer;
    bool isConnect = false;
    std::unique_ptr<common::ILogger> logger;
    common::ILogger* channel = nullptr;
};

}  // namespace network
