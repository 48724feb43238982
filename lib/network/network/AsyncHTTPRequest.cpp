#include "network/AsyncHTTPRequest.h"

namespace network {

void AsyncHTTPRequest::AddHeader(const std::string& name, const std::string& value) {
    headers.emplace_back(name, value);
}

bool AsyncHTTPRequest::UseTLS(const URL& url, unsigned short port) const {
    if (sslMode == kSSLModeAuto) {
        return port == 443 || url.scheme == "https";
    }
    return sslMode == kSSLModeAlways;
}

}  // namespace network
