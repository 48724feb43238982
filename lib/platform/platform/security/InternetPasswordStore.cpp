#include "platform/security/InternetPasswordStore.h"

#include <utility>

namespace platform::security {

using systemconfiguration::ProxyUrl;

InternetPasswordStore::InternetPasswordStore(systemconfiguration::EnvironmentReader environment)
    : environment_(std::move(environment)) {}

std::vector<ProxyUrl> InternetPasswordStore::addressesWithUser() const {
    std::vector<ProxyUrl> result;
    for (const char* name :
         {systemconfiguration::kHttpProxyVariable, systemconfiguration::kHttpsProxyVariable,
          systemconfiguration::kAllProxyVariable}) {
        const auto text = environment_(name);
        if (!text) {
            continue;
        }
        if (auto url = systemconfiguration::parseProxyUrl(*text); url && !url->user.empty()) {
            result.push_back(std::move(*url));
        }
    }
    return result;
}

std::optional<std::vector<InternetPasswordAttributes>> InternetPasswordStore::copyProxyItems() {
    std::vector<InternetPasswordAttributes> items;
    for (const auto& url : addressesWithUser()) {
        items.push_back({url.host, url.user});
    }
    return items;
}

std::optional<std::string> InternetPasswordStore::findProxyPassword(const std::string& server,
                                                                    const std::string& account) {
    for (const auto& url : addressesWithUser()) {
        if (url.host == server && url.user == account) {
            return url.password;
        }
    }
    return std::nullopt;
}

}  // namespace platform::security
