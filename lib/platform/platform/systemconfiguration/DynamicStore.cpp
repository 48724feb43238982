#include "platform/systemconfiguration/DynamicStore.h"

#include <utility>

#include "platform/systemconfiguration/ProxyDictionaryKeys.h"

namespace platform::systemconfiguration {

namespace {

struct Slot {
    const char* enableKey;
    const char* hostKey;
    const char* portKey;
};

constexpr Slot kHttpSlot{kSCPropNetProxiesHTTPEnable, kSCPropNetProxiesHTTPProxy,
                         kSCPropNetProxiesHTTPPort};
constexpr Slot kHttpsSlot{kSCPropNetProxiesHTTPSEnable, kSCPropNetProxiesHTTPSProxy,
                          kSCPropNetProxiesHTTPSPort};
constexpr Slot kSocksSlot{kSCPropNetProxiesSOCKSEnable, kSCPropNetProxiesSOCKSProxy,
                          kSCPropNetProxiesSOCKSPort};

// Fills `slot` with `url` unless an earlier variable filled it.
void fill(corefoundation::Dictionary& dictionary, const Slot& slot, const ProxyUrl& url) {
    if (dictionary.count(slot.enableKey) != 0) {
        return;
    }
    dictionary[slot.enableKey] = 1LL;
    dictionary[slot.hostKey] = url.host;
    dictionary[slot.portKey] = static_cast<long long>(url.port.value_or(kDefaultProxyPort));
}

}  // namespace

DynamicStore::DynamicStore(EnvironmentReader environment, WarningSink warn)
    : environment_(std::move(environment)), warn_(std::move(warn)) {}

std::optional<std::string> DynamicStore::read(const char* name, const char* upperName) const {
    auto value = environment_(name);
    if ((!value || value->empty()) && upperName != nullptr) {
        value = environment_(upperName);
    }
    if (value && value->empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<ProxyUrl> DynamicStore::readProxy(const char* name, const char* upperName) const {
    const auto text = read(name, upperName);
    if (!text) {
        return std::nullopt;
    }
    auto url = parseProxyUrl(*text);
    if (!url) {
        warn(std::string("The proxy in \"") + name + "\" could not be read; it is not used.");
        return std::nullopt;
    }
    if (url->scheme != "http" && !isSocksScheme(url->scheme)) {
        warn(std::string("The proxy in \"") + name + "\" has the scheme \"" + url->scheme +
             "\", which is not supported; it is not used.");
        return std::nullopt;
    }
    return url;
}

void DynamicStore::warn(const std::string& message) const {
    if (warn_) {
        warn_(message);
    }
}

std::optional<corefoundation::Dictionary> DynamicStore::copyProxies() {
    corefoundation::Dictionary dictionary;
    if (const auto pac = read(kAutoProxyVariable, nullptr)) {
        dictionary[kSCPropNetProxiesProxyAutoConfigEnable] = 1LL;
        dictionary[kSCPropNetProxiesProxyAutoConfigURLString] = *pac;
    }
    // A socks address serves as the SOCKS proxy whichever variable names it;
    // "all_proxy" stands in for the web proxies that are not named.
    const auto http = readProxy(kHttpProxyVariable, nullptr);
    const auto https = readProxy(kHttpsProxyVariable, "HTTPS_PROXY");
    const auto all = readProxy(kAllProxyVariable, "ALL_PROXY");
    const std::pair<const std::optional<ProxyUrl>*, const Slot*> named[] = {
        {&http, &kHttpSlot}, {&https, &kHttpsSlot}, {&all, &kHttpSlot}, {&all, &kHttpsSlot}};
    for (const auto& [url, slot] : named) {
        if (*url) {
            fill(dictionary, isSocksScheme((*url)->scheme) ? kSocksSlot : *slot, **url);
        }
    }
    return dictionary;
}

}  // namespace platform::systemconfiguration
