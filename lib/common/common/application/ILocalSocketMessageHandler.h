#pragma once

#include <string>

namespace common {

// Receives the messages that arrive over a local socket, one at a time.
class ILocalSocketMessageHandler {
public:
    virtual ~ILocalSocketMessageHandler() = default;

    virtual void onLocalSocketMessage(const std::string& message) = 0;
};

}  // namespace common
