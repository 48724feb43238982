#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "network/IHTTPRequest.h"
#include "network/URL.h"

namespace network {

// The one request implementation. The setters only store; the connection
// checks what it sends. The same object travels through every redirect of
// an exchange, so `redirectsLeft` bounds them all together.
class AsyncHTTPRequest : public IHTTPRequest {
public:
    // 2: TLS for port 443 or the scheme "https"; 1: always; anything else: never.
    static constexpr std::uint32_t kSSLModeAuto = 2;
    static constexpr std::uint32_t kSSLModeAlways = 1;

    void AddHeader(const std::string& name, const std::string& value) override;
    void SetSSLMode(unsigned int mode) override { sslMode = mode; }
    void SetMethod(const std::string& method) override { this->method = method; }
    void SetContentType(const std::string& contentType) override { this->contentType = contentType; }
    void SetBody(const core::NonInitializingBuffer<unsigned char>& body) override { this->body = body; }
    void SetBody(core::NonInitializingBuffer<unsigned char>&& body) override {
        this->body = std::move(body);
    }

    // Whether a new connection for this request must use TLS; `port` is the
    // URL's port after defaulting.
    bool UseTLS(const URL& url, unsigned short port) const;

    std::uint32_t sslMode = kSSLModeAuto;
    std::string method;
    std::string contentType;
    std::vector<std::pair<std::string, std::string>> headers;
    core::NonInitializingBuffer<unsigned char> body;
    std::uint32_t redirectsLeft = 5;
};

}  // namespace network
