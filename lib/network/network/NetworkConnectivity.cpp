#include "network/NetworkConnectivity.h"

namespace network {

NetworkConnectivity::NetworkConnectivity() : logger_(common::createLogger("NetworkConnectivity")) {}

void NetworkConnectivity::NotifyConnected() {
    if (!disabled_) {
        OnConnected();
    }
}

bool NetworkConnectivity::IsNetworkAvailable() {
    return !disabled_ && IsReachable();
}

void NetworkConnectivity::SetDisabled(bool disabled) {
    disabled_ = disabled;
}

}  // namespace network
