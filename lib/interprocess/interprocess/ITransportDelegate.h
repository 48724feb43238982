#pragma once

#include <string>

namespace interprocess {

class ITransport;

// Told of a transport's link state and of the texts its peer sends.
class ITransportDelegate {
public:
    virtual ~ITransportDelegate() = default;

    virtual void onTransportDisconnected(const ITransport& transport) = 0;
    virtual void onTransportConnecting(const ITransport& transport) = 0;
    virtual void onTransportConnected(const ITransport& transport) = 0;
    virtual void onTransportDisconnecting(const ITransport& transport) = 0;
    virtual void onTransportListening(const ITransport& transport) = 0;
    virtual void onTransportConnectionRequest(const ITransport& transport, const std::string peer) = 0;
    virtual void onTransportDataReceived(const ITransport& transport, const std::string json) = 0;
    virtual void onTransportSyncDataReceived(const ITransport& transport, const std::string json) = 0;
};

}  // namespace interprocess
