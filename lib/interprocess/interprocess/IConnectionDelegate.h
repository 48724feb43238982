#pragma once

#include <string>

namespace interprocess {

class IConnection;

// Told of a connection's state changes and of what its peer sends.
class IConnectionDelegate {
public:
    virtual ~IConnectionDelegate() = default;

    virtual void onConnectionDisconnected(IConnection& connection) = 0;
    virtual void onConnectionConnecting(IConnection& connection) = 0;
    virtual void onConnectionConnected(IConnection& connection) = 0;
    virtual void onConnectionDisconnecting(IConnection& connection) = 0;
    virtual void onConnectionListening(IConnection& connection) = 0;
    // A listening connection was asked for a link by process `peer`.
    virtual void onConnectionRequest(IConnection& connection, const std::string peer) = 0;
    virtual void onConnectionDataReceived(IConnection& connection, const std::string text) = 0;
    // Sent synchronously; called on the thread that received it.
    virtual void onConnectionSyncDataReceived(IConnection& connection, const std::string text) = 0;
};

}  // namespace interprocess
