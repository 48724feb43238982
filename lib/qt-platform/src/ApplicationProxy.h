#pragma once

#include <QNetworkProxy>
#include <QString>
#include <QUrl>

class IProxyAuthenticator;

// The authenticator's current proxy as a Qt proxy, without credentials (Qt
// asks for them when the proxy does).
QNetworkProxy currentProxy(const IProxyAuthenticator& proxies);

// Re-reads the system's proxy settings and, when they give a proxy for `url`,
// makes it the process's proxy; otherwise the process's proxy stays.
void selectProxyForUrl(IProxyAuthenticator& proxies, const QString& url);

// After the current proxy could not be found: the next proxy of the list
// becomes the process's proxy. At the end of the list the settings are read
// anew and asked for the proxies of the host of `requestUrl`; without any,
// the process goes without proxy. Messages go to the category "WebSocket".
void selectNextProxy(IProxyAuthenticator& proxies, const QUrl& requestUrl);
