#include "extension/EventLoopEnvironment.h"

#include "extension/EventLoopAsyncService.h"
#include "network/AsyncNetworkFactory.h"
#include "network/detail/AsyncExecutor.h"

namespace extension {

EventLoopEnvironment::EventLoopEnvironment(std::shared_ptr<IProxyAuthenticator> proxyAuthenticator)
    : service_(std::make_shared<EventLoopAsyncService>()),
      networkFactory_(
          std::make_shared<network::AsyncNetworkFactory>(service_, std::move(proxyAuthenticator))),
      settingsStore_(std::make_shared<NonPersistentStore>()) {}

EventLoopEnvironment::~EventLoopEnvironment() = default;

std::shared_ptr<network::INetworkFactory> EventLoopEnvironment::GetNetworkFactory() {
    return networkFactory_;
}

ISettingsStore* EventLoopEnvironment::GetSettingsStore() {
    return settingsStore_.get();
}

void EventLoopEnvironment::Post(std::chrono::steady_clock::time_point deadline,
                                std::function<void()> fn) {
    service_->PostDelayed(deadline, std::move(fn));
}

std::shared_ptr<network::AsyncService> EventLoopEnvironment::GetAsyncService() {
    return service_;
}

void EventLoopEnvironment::PollEvents() {
    if (const auto executor = service_->GetExecutor(); executor && !service_->HasThread()) {
        executor->Poll();
    }
}

}  // namespace extension
