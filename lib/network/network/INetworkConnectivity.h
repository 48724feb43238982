#pragma once

namespace network {

class SocketSignals;

// Whether the network may be used at all, and the notifications shared by
// all sockets.
class INetworkConnectivity {
public:
    virtual ~INetworkConnectivity() = default;

    // Told by sockets after a successful look-up, connect, handshake or read.
    virtual void NotifyConnected() = 0;
    virtual bool IsNetworkAvailable() = 0;
    // Switches all network use off (or on again); open connections stay.
    virtual void SetDisabled(bool disabled) = 0;
    virtual SocketSignals& GetSignals() = 0;

protected:
    virtual void OnConnected() = 0;
    virtual bool IsReachable() = 0;
};

}  // namespace network
