#pragma once

#include "network/IHTTPResponse.h"

namespace network {

// A response exactly as received, body after transfer framing.
class PlainHTTPResponse : public IHTTPResponse {
public:
    PlainHTTPResponse(const HTTPHeaderList& headers,
                      const core::NonInitializingBuffer<unsigned char>& body);
    PlainHTTPResponse(HTTPHeaderList&& headers, core::NonInitializingBuffer<unsigned char>&& body);

    std::string GetHeader(const std::string& name) override;
    std::vector<std::string> GetHeaders(const std::string& name) override;
    core::NonInitializingBuffer<unsigned char> TakeBody() override;

    // Every header line, in arrival order.
    const HTTPHeaderList& GetHeaderList() const { return headers_; }

private:
    HTTPHeaderList headers_;
    core::NonInitializingBuffer<unsigned char> body_;
};

}  // namespace network
