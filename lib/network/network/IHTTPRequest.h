#pragma once

#include <string>

#include "core/NonInitializingBuffer.h"

namespace network {

// What a caller chooses of one HTTP request: method, content type, extra
// header lines, body and whether TLS is wanted.
class IHTTPRequest {
public:
    virtual void AddHeader(const std::string& name, const std::string& value) = 0;
    virtual void SetSSLMode(unsigned int mode) = 0;
    virtual void SetMethod(const std::string& method) = 0;
    virtual void SetContentType(const std::string& contentType) = 0;
    // Copies the bytes.
    virtual void SetBody(const core::NonInitializingBuffer<unsigned char>& body) = 0;
    // Takes the buffer over; the argument is left empty.
    virtual void SetBody(core::NonInitializingBuffer<unsigned char>&& body) = 0;
    virtual ~IHTTPRequest() = default;
};

}  // namespace network
