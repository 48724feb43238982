#pragma once

namespace platform::systemconfiguration {

// Keys of the proxy dictionary that IDynamicStore::copyProxies returns. The
// enable keys hold a number (non-zero is on), the port keys a number, the
// others a text.
constexpr const char* kSCPropNetProxiesProxyAutoConfigEnable = "ProxyAutoConfigEnable";
constexpr const char* kSCPropNetProxiesProxyAutoConfigURLString = "ProxyAutoConfigURLString";
constexpr const char* kSCPropNetProxiesHTTPEnable = "HTTPEnable";
constexpr const char* kSCPropNetProxiesHTTPProxy = "HTTPProxy";
constexpr const char* kSCPropNetProxiesHTTPPort = "HTTPPort";
constexpr const char* kSCPropNetProxiesHTTPSEnable = "HTTPSEnable";
constexpr const char* kSCPropNetProxiesHTTPSProxy = "HTTPSProxy";
constexpr const char* kSCPropNetProxiesHTTPSPort = "HTTPSPort";
constexpr const char* kSCPropNetProxiesSOCKSEnable = "SOCKSEnable";
constexpr const char* kSCPropNetProxiesSOCKSProxy = "SOCKSProxy";
constexpr const char* kSCPropNetProxiesSOCKSPort = "SOCKSPort";

}  // namespace platform::systemconfiguration
