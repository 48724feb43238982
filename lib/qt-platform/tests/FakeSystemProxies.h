#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ProxyAuthenticator.h"
#include "platform/cfnetwork/IProxyAutoConfiguration.h"
#include "platform/security/IInternetPasswordStore.h"
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

// Stored proxy passwords that a test sets.
class FakeInternetPasswordStore : public platform::security::IInternetPasswordStore {
public:
    struct Item {
        std::string server;
        std::string account;
        std::optional<std::string> password;
    };

    std::optional<std::vector<platform::security::InternetPasswordAttributes>> copyProxyItems()
        override {
        if (unavailable) {
            return std::nullopt;
        }
        std::vector<platform::security::InternetPasswordAttributes> attributes;
        for (const auto& item : items) {
            attributes.push_back({item.server, item.account});
        }
        return attributes;
    }

    std::optional<std::string> findProxyPassword(const std::string& server,
                                                 const std::string& account) override {
        lookups.push_back(server + "/" + account);
        for (const auto& item : items) {
            if (item.server == server && item.account == account) {
                return item.password;
            }
        }
        return std::nullopt;
    }

    std::vector<Item> items;
    bool unavailable = false;
    std::vector<std::string> lookups;
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

// The three fakes, and the services that hand them to an authenticator.
struct FakeSystemProxies {
    std::shared_ptr<FakeDynamicStore> settings = std::make_shared<FakeDynamicStore>();
    std::shared_ptr<FakeInternetPasswordStore> passwords =
        std::make_shared<FakeInternetPasswordStore>();
    std::shared_ptr<FakeProxyAutoConfiguration> autoConfiguration =
        std::make_shared<FakeProxyAutoConfiguration>();

    ProxyAuthenticator::SystemServices services() const {
        return {settings, passwords, autoConfiguration};
    }
};
