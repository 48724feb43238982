#pragma once

#include <QNetworkProxy>
#include <cstdint>

// Qt's proxy type for a ProxyAuthenticator::ProxyType; a value outside 0 to 2
// is logged as critical and gives no proxy.
QNetworkProxy::ProxyType toQtProxyType(std::uint32_t type);

// The name of a Qt proxy type for the log.
const char* proxyTypeName(QNetworkProxy::ProxyType type);
