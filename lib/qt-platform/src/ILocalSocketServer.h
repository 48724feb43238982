#pragma once

#include <functional>
#include <string>

// A many-client local-socket server: every message of any client goes to one
// handler, and a message written goes to all connected clients. Texts are
// UTF-8.
class ILocalSocketServer {
public:
    using Handler = std::function<void(const std::string&)>;

    virtual ~ILocalSocketServer() = default;
    virtual void resetHandler() = 0;
    // Called on the Qt thread with each message received from any client.
    virtual void setHandler(Handler handler) = 0;
    // Sends the message to every connected client; nobody learns who got it.
    virtual void writeData(const std::string& message) = 0;
};
