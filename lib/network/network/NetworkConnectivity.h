#pragma once

#include <atomic>
#include <memory>

#include "common/logging/ILogger.h"
#include "network/INetworkConnectivity.h"
#include "network/SocketSignals.h"

namespace network {

// The platform-neutral connectivity monitor: the switch that disables the
// network, the shared signals, and a network that is always reachable.
class NetworkConnectivity : public INetworkConnectivity {
public:
    NetworkConnectivity();

    void NotifyConnected() override;
    bool IsNetworkAvailable() override;
    void SetDisabled(bool disabled) override;
    SocketSignals& GetSignals() override { return signals_; }

protected:
    void OnConnected() override {}
    bool IsReachable() override { return true; }

    std::atomic<bool> disabled_{false};
    SocketSignals signals_;
    std::unique_ptr<common::ILogger> logger_;
};

}  // namespace network
