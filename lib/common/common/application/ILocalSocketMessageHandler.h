#pragma once

#include <string>

namespace common {

// Receives the messages that arrive over a local socket.
class ILocalSocketMessageHandler {
public:
    virtual ~ILocalSocketMessageHandler() = default;
    virtual void onLocalSocketMessage(const std::string& message) = 0;
};

}  // namespace common
