#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/NonInitializingBuffer.h"

namespace network {

using HTTPHeaderList = std::vector<std::pair<std::string, std::string>>;

// A received HTTP response: its header lines in arrival order and its body
// with the transfer framing removed. The status travels beside it.
class IHTTPResponse {
public:
    // The value of the first header named `name` (letter case ignored); ""
    // when there is none.
    virtual std::string GetHeader(const std::string& name) = 0;
    // The values of every header named `name`, in arrival order.
    virtual std::vector<std::string> GetHeaders(const std::string& name) = 0;
    // Moves the body out; a second call gives an empty buffer.
    virtual core::NonInitializingBuffer<unsigned char> TakeBody() = 0;
    virtual ~IHTTPResponse() = default;
};

// Header-name equality ignoring the case of ASCII letters (names are
// ASCII tokens; no locale is consulted).
bool HeaderNameEquals(std::string_view a, std::string_view b);
// The first value of `name` in `headers`; "" when absent.
std::string FindHeader(const HTTPHeaderList& headers, std::string_view name);
// The first value of `name` in `headers`, or null: no copy.
const std::string* FindHeaderValue(const HTTPHeaderList& headers, std::string_view name);

}  // namespace network
