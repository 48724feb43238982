#pragma once

#include <string_view>

namespace common {

// Receives the JSON records of the callback log sink. Called with the sink's
// lock held, on the thread that logged; the view is valid during the call.
class ILogCallback {
public:
    // One formatted record: a compact JSON object and a line feed.
    virtual void operator()(std::string_view record) = 0;

    virtual ~ILogCallback() = default;
};

}  // namespace common
