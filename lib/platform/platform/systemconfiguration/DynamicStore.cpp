#include "platform/systemconfiguration/DynamicStore.h"

#include <utility>

#include "platform/systemconfiguration/ProxyDictionaryKeys.h"

namespace platform::systemconfiguration {

namespace {

void addFixedProxy(corefoundation::Dictionary& dictionary, const ProxyUrl& url,
                   const char* enableKey, const char* hostKey, const char* portKey) {
    dictionary[enableKey] = 1LL;
    dictionary[hostKey] = url.host;
    if (url.port) {
        dictionary[portKey] = static_cast<long long>(*url.port);
    }
}

}  // namespace

DynamicStore::DynamicStore(EnvironmentReader environment) : environment_(std::move(environment)) {}

std::optional<corefoundation::Dictionary> DynamicStore::copyProxies() {
    corefoundation::Dictionary dictionary;
    if (const auto pac = environment_(kAutoProxyVariable); pac && !pac->empty()) {
        dictionary[kSCPropNetProxiesProxyAutoConfigEnable] = 1LL;
        dictionary[kSCPropNetProxiesProxyAutoConfigURLString] = *pac;
    }
    if (const auto text = environment_(kHttpProxyVariable)) {
        if (const auto url = parseProxyUrl(*text)) {
            addFixedProxy(dictionary, *url, kSCPropNetProxiesHTTPEnable, kSCPropNetProxiesHTTPProxy,
                          kSCPropNetProxiesHTTPPort);
        }
    }
    if (const auto text = environment_(kHttpsProxyVariable)) {
        if (const auto url = parseProxyUrl(*text)) {
            addFixedProxy(dictionary, *url, kSCPropNetProxiesHTTPSEnable,
                          kSCPropNetProxiesHTTPSProxy, kSCPropNetProxiesHTTPSPort);
        }
    }
    if (const auto text = environment_(kAllProxyVariable)) {
        if (const auto url = parseProxyUrl(*text); url && isSocksScheme(url->scheme)) {
            addFixedProxy(dictionary, *url, kSCPropNetProxiesSOCKSEnable,
                          kSCPropNetProxiesSOCKSProxy, kSCPropNetProxiesSOCKSPort);
        }
    }
    return dictionary;
}

}  // namespace platform::systemconfiguration
