#pragma once

#include <string>

namespace common {

// Takes the JSON records of the local-socket log sink to their consumer.
// Called with the sink's lock held, on the thread that logged.
class ILogSender {
public:
    virtual ~ILogSender() = default;

    // One formatted record: a compact JSON object and a line feed.
    virtual void send(const std::string& record) = 0;
    virtual void flush() = 0;
};

}  // namespace common
