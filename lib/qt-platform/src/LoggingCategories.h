#pragma once

#include <QLoggingCategory>

// Every class of the layer logs through a category named after itself.
Q_DECLARE_LOGGING_CATEGORY(lcMainThread)
Q_DECLARE_LOGGING_CATEGORY(lcProxyAuthenticator)
Q_DECLARE_LOGGING_CATEGORY(lcHttpQuery)
Q_DECLARE_LOGGING_CATEGORY(lcWebSocket)
