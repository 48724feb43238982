#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ProxyAuthenticator.h"
#include "platform/cfnetwork/IProxyAutoConfiguration.h"
#include "platform/systemconfiguration/IDynamicStore.h"

// System proxy settings and auto-configuration results that a test sets, and the services that
// hand them to an authenticator (with no password store).
struct FakeSystemProxies {
    struct Store : platform::systemconfiguration::IDynamicStore {
        std::optional<platform::corefoundation::Dictionary> copyProxies() override {
            return settings;
        }
        std::optional<platform::corefoundation::Dictionary> settings =
            platform::corefoundation::Dictionary{};
    };
    struct AutoConfiguration : platform::cfnetwork::IProxyAutoConfiguration {
        platform::cfnetwork::ProxyAutoConfigurationResult execute(
            const std::string& scriptUrl, const std::string& targetUrl) override {
            calls.push_back(scriptUrl + " " + targetUrl);
            if (onExecute) onExecute();
            return result;
        }
        platform::cfnetwork::ProxyAutoConfigurationResult result;
        std::vector<std::string> calls;
        std::function<void()> onExecute;
    };

    ProxyAuthenticator::SystemServices services() const {
        return {settings, nullptr, autoConfiguration};
    }

    std::shared_ptr<Store> settings = std::make_shared<Store>();
    std::shared_ptr<AutoConfiguration> autoConfiguration = std::make_shared<AutoConfiguration>();
};
