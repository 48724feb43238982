#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "network/AsyncHTTPRequest.h"
#include "network/AsyncHTTPRequestData.h"
#include "network/AsyncHTTPResponseData.h"
#include "network/AsyncTCPSocket.h"
#include "network/IHTTPConnection.h"
#include "network/URL.h"

namespace network {

// What one transmission of a request carries through its steps: the target,
// the request and its callback, the socket it went out on, and the records
// of the bytes sent and of the response read.
struct HTTPExchange {
    URL url;
    std::shared_ptr<AsyncHTTPRequest> request;
    HTTPCallback callback;
    bool reused = false;  // sent on a socket kept from an earlier request
    std::shared_ptr<AsyncTCPSocket> socket;
    bool secure = false;
    std::uint64_t generation = 0;  // the connection's closes and aborts when it started
    std::shared_ptr<AsyncHTTPRequestData> requestData;
    std::shared_ptr<AsyncHTTPResponseData> responseData;
    bool timedOut = false;
    bool finished = false;  // the response is complete or the exchange failed
    std::chrono::steady_clock::time_point stepStarted;
};

}  // namespace network
