#include "LoggingCategories.h"

Q_LOGGING_CATEGORY(lcMainThread, "MainThread")
Q_LOGGING_CATEGORY(lcProxyAuthenticator, "ProxyAuthenticator")
Q_LOGGING_CATEGORY(lcHttpQuery, "HttpQuery")
Q_LOGGING_CATEGORY(lcWebSocket, "WebSocket")
