#include "network/PlainHTTPResponse.h"

namespace network {

bool HeaderNameEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

const std::string* FindHeaderValue(const HTTPHeaderList& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (HeaderNameEquals(key, name)) {
            return &value;
        }
    }
    return nullptr;
}

std::string FindHeader(const HTTPHeaderList& headers, std::string_view name) {
    const std::string* value = FindHeaderValue(headers, name);
    return value != nullptr ? *value : std::string();
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
