#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "extension/ISettingsStore.h"
#include "network/AsyncService.h"
#include "network/INetworkFactory.h"

namespace extension {

// What the event-loop environment gives an application: the network
// factory, a settings store, work run on its event loop, and the loop's
// service.
class IEnvironment {
public:
    virtual ~IEnvironment() = default;

    virtual std::shared_ptr<network::INetworkFactory> GetNetworkFactory() = 0;
    // Owned by the environment; valid while it lives.
    virtual ISettingsStore* GetSettingsStore() = 0;
    // Runs `fn` on the event loop once the steady clock has reached
    // `deadline` (an absolute time). Callable from any thread.
    virtual void Post(std::chrono::steady_clock::time_point deadline, std::function<void()> fn) = 0;
    virtual std::shared_ptr<network::AsyncService> GetAsyncService() = 0;
};

}  // namespace extension
