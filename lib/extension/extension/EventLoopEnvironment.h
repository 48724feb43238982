#pragma once

#include <memory>

#include "extension/IEnvironment.h"
#include "extension/NonPersistentStore.h"

class IProxyAuthenticator;

namespace extension {

// The environment an application drives from its own main loop: a service
// without a thread of its own, the network factory on it and an in-memory
// settings store. Every completion of the library runs inside PollEvents,
// on the thread that calls it.
class EventLoopEnvironment : public IEnvironment {
public:
    explicit EventLoopEnvironment(std::shared_ptr<IProxyAuthenticator> proxyAuthenticator);
    ~EventLoopEnvironment() override;

    std::shared_ptr<network::INetworkFactory> GetNetworkFactory() override;
    ISettingsStore* GetSettingsStore() override;
    void Post(std::chrono::steady_clock::time_point deadline, std::function<void()> fn) override;
    std::shared_ptr<network::AsyncService> GetAsyncService() override;

    // Runs every handler that is ready now, without waiting; nothing once
    // the service is stopped or runs a thread of its own. One thread only.
    void PollEvents();

private:
    std::shared_ptr<network::AsyncService> service_;
    std::shared_ptr<network::INetworkFactory> networkFactory_;
    std::shared_ptr<NonPersistentStore> settingsStore_;
};

}  // namespace extension
