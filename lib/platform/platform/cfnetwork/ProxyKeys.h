#pragma once

namespace platform::cfnetwork {

// Keys of one proxy dictionary of an auto-configuration result: the host (a
// text, missing for a direct connection), the port (a number) and the type
// (one of the type texts below).
constexpr const char* kCFProxyHostNameKey = "kCFProxyHostNameKey";
constexpr const char* kCFProxyPortNumberKey = "kCFProxyPortNumberKey";
constexpr const char* kCFProxyTypeKey = "kCFProxyTypeKey";

constexpr const char* kCFProxyTypeNone = "kCFProxyTypeNone";
constexpr const char* kCFProxyTypeHTTP = "kCFProxyTypeHTTP";
constexpr const char* kCFProxyTypeHTTPS = "kCFProxyTypeHTTPS";
constexpr const char* kCFProxyTypeSOCKS = "kCFProxyTypeSOCKS";
constexpr const char* kCFProxyTypeFTP = "kCFProxyTypeFTP";

}  // namespace platform::cfnetwork
