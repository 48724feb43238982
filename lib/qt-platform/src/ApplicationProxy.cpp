#include "ApplicationProxy.h"

#include "IProxyAuthenticator.h"
#include "LoggingCategories.h"
#include "QtProxyTypes.h"

QNetworkProxy currentProxy(const IProxyAuthenticator& proxies) {
    return QNetworkProxy(toQtProxyType(proxies.getProxyType()),
                         QString::fromStdString(proxies.getHost()), proxies.getPort());
}

void selectProxyForUrl(IProxyAuthenticator& proxies, const QString& url) {
    proxies.updateFromSystemSettings();
    if (proxies.queryProxiesForUrl(url.toStdWString())) {
        QNetworkProxy::setApplicationProxy(currentProxy(proxies));
    }
}

void selectNextProxy(IProxyAuthenticator& proxies, const QUrl& requestUrl) {
    if (proxies.nextProxy()) {
        qCDebug(lcWebSocket) << "Proxy host not found, try the next one.";
        QNetworkProxy::setApplicationProxy(currentProxy(proxies));
        return;
    }
    qCDebug(lcWebSocket) << "ProxyNotFoundError";
    proxies.updateFromSystemSettings();
    if (!proxies.queryProxiesForUrl(requestUrl.host(QUrl::FullyDecoded).toStdWString())) {
        qCDebug(lcWebSocket) << "Proxy is disabled.";
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    qCDebug(lcWebSocket) << "Proxy host information is reconfigured.";
    QNetworkProxy::setApplicationProxy(currentProxy(proxies));
}
