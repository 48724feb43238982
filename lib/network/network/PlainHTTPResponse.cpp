#include "network/PlainHTTPResponse.h"

#include <locale>

namespace network {

bool HeaderNameEquals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    const auto& ctype = std::use_facet<std::ctype<char>>(std::locale());
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ctype.toupper(a[i]) != ctype.toupper(b[i])) {
            return false;
        }
    }
    return true;
}

std::string FindHeader(const HTTPHeaderList& headers, const std::string& name) {
    for (const auto& [key, value] : headers) {
        if (HeaderNameEquals(key, name)) {
            return value;
        }
    }
    return {};
}

PlainHTTPResponse::PlainHTTPResponse(const HTTPHeaderList& headers,
                                     const core::NonInitializingBuffer<unsigned char>& body)
    : headers_(headers), body_(body) {}

PlainHTTPResponse::PlainHTTPResponse(HTTPHeaderList&& headers,
                                     core::NonInitializingBuffer<unsigned char>&& body)
    : headers_(std::move(headers)), body_(std::move(body)) {}

std::string PlainHTTPResponse::GetHeader(const std::string& name) {
    return FindHeader(headers_, name);
}

std::vector<std::string> PlainHTTPResponse::GetHeaders(const std::string& name) {
    std::vector<std::string> values;
    for (const auto& [key, value] : headers_) {
        if (HeaderNameEquals(key, name)) {
            values.push_back(value);
        }
    }
    return values;
}

core::NonInitializingBuffer<unsigned char> PlainHTTPResponse::TakeBody() {
    return std::move(body_);
}

}  // namespace network
