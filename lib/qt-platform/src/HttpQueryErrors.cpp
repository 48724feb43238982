#include "HttpQueryErrors.h"

IHttpQuery::Error httpQueryErrorFromQt(int qtCode) {
    if (qtCode >= 0 && qtCode <= 11) {
        return static_cast<IHttpQuery::Error>(qtCode);
    }
    if (qtCode >= 101 && qtCode <= 105) {
        return static_cast<IHttpQuery::Error>(qtCode - 88);
    }
    if (qtCode >= 201 && qtCode <= 207) {
        return static_cast<IHttpQuery::Error>(qtCode - 182);
    }
    if (qtCode >= 401 && qtCode <= 403) {
        return static_cast<IHttpQuery::Error>(qtCode - 371);
    }
    switch (qtCode) {
        case 199:
            return IHttpQuery::UnknownProxyError;
        case 299:
            return IHttpQuery::UnknownContentError;
        case 301:
            return IHttpQuery::ProtocolUnknownError;
        case 302:
            return IHttpQuery::ProtocolInvalidOperationError;
        case 399:
            return IHttpQuery::ProtocolFailure;
        case 499:
            return IHttpQuery::UnknownServerError;
        default:
            return IHttpQuery::UnknownNetworkError;
    }
}
