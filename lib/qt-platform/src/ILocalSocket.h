#pragma once

#include <functional>
#include <string>

// The reconnecting client end of a local-socket link: it connects to a named
// server, keeps trying while it has no connection, holds back what is written
// meanwhile and hands every message received to one handler. Texts are UTF-8.
class ILocalSocket {
public:
    using Handler = std::function<void(const std::string&)>;

    virtual ~ILocalSocket() = default;
    // Names the server; every later attempt uses this name.
    virtual void connect(const std::string& serverName) = 0;
    // Ends the current connection; a new attempt follows after the interval.
    virtual void disconnect() = 0;
    // Sends the message, or keeps it until the next connection.
    virtual void write(const std::string& message) = 0;
    virtual void resetHandler() = 0;
    // Called on the Qt thread with each message received.
    virtual void setHandler(Handler handler) = 0;
    virtual void flush() = 0;
};
