#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ProxyAuthenticator.h"
#include "platform/cfnetwork/IProxyAutoConfiguration.h"
#include "platform/systemconfiguration/IDynamicStore.h"

// System proxy settings that a test sets.
class FakeDynamicStore : public platform::systemconfiguration::IDynamicStore {
public:
    std::optional<platform::corefoundation::Dictionary> copyProxies() override {
        ++calls;
        return settings;
    }

    std::optional<platform::corefoundation::Dictionary> settings =
        platform::corefoundation::Dictionary{};
    int calls = 0;
};

// Auto-configuration results that a test sets.
class FakeProxyAutoConfiguration : public platform::cfnetwork::IProxyAutoConfiguration {
public:
    platform::cfnetwork::ProxyAutoConfigurationResult execute(
        const std::string& scriptUrl, const std::string& targetUrl) override {
        calls.push_back(scriptUrl + " " + targetUrl);
        if (onExecute) {
            onExecute();
        }
        return result;
    }

    platform::cfnetwork::ProxyAutoConfigurationResult result;
    std::vector<std::string> calls;
    std::function<void()> onExecute;
};

// The fakes, and the services that hand them to an authenticator (with no
// password store).
struct FakeSystemProxies {
    std::shared_ptr<FakeDynamicStore> settings = std::make_shared<FakeDynamicStore>();
    std::shared_ptr<FakeProxyAutoConfiguration> autoConfiguration =
        std::make_shared<FakeProxyAutoConfiguration>();

    ProxyAuthenticator::SystemServices services() const {
        return {settings, nullptr, autoConfiguration};
    }
};
