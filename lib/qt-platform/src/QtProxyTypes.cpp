#include "QtProxyTypes.h"

#include "LoggingCategories.h"
#include "ProxyAuthenticator.h"

QNetworkProxy::ProxyType toQtProxyType(std::uint32_t type) {
    switch (type) {
        case ProxyAuthenticator::NoProxy:
            return QNetworkProxy::NoProxy;
        case ProxyAuthenticator::SocksProxy:
            return QNetworkProxy::Socks5Proxy;
        case ProxyAuthenticator::HttpProxy:
            return QNetworkProxy::HttpProxy;
        default:
            qCCritical(lcProxyAuthenticator) << "No proxy mapping found for " << type;
            return QNetworkProxy::NoProxy;
    }
}

const char* proxyTypeName(QNetworkProxy::ProxyType type) {
    switch (type) {
        case QNetworkProxy::DefaultProxy:
            return "DefaultProxy";
        case QNetworkProxy::Socks5Proxy:
            return "Socks5Proxy";
        case QNetworkProxy::NoProxy:
            return "NoProxy";
        case QNetworkProxy::HttpProxy:
            return "HttpProxy";
        case QNetworkProxy::HttpCachingProxy:
            return "HttpCachingProxy";
        case QNetworkProxy::FtpCachingProxy:
            return "FtpCachingProxy";
        default:
            return "Unknown proxy type";
    }
}
