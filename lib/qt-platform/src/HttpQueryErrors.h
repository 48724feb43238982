#pragma once

#include "IHttpQuery.h"

// The query's outcome code for one of Qt's network error codes
// (QNetworkReply::NetworkError): 0 to 11 stay, the proxy, content, protocol
// and server ranges close up into 13 to 33, and every other code (Qt's
// unknown-network code 99 and negative ones among them) is
// UnknownNetworkError.
IHttpQuery::Error httpQueryErrorFromQt(int qtCode);

// The name of an outcome code, as logs print it ("NoError",
// "ContentNotFoundError", ...); "UnknownError" for any other value.
const char* httpQueryErrorName(int error);
