#include "HttpQueryErrors.h"

namespace {

constexpr const char* kErrorNames[] = {"NoError",
                                       "ConnectionRefusedError",
                                       "RemoteHostClosedError",
                                       "HostNotFoundError",
                                       "TimeoutError",
                                       "OperationCanceledError",
                                       "SslHandshakeFailedError",
                                       "TemporaryNetworkFailureError",
                                       "NetworkSessionFailedError",
                                       "BackgroundRequestNotAllowedError",
                                       "TooManyRedirectsError",
                                       "InsecureRedirectError",
                                       "UnknownNetworkError",
                                       "ProxyConnectionRefusedError",
                                       "ProxyConnectionClosedError",
                                       "ProxyNotFoundError",
                                       "ProxyTimeoutError",
                                       "ProxyAuthenticationRequiredError",
                                       "UnknownProxyError",
                                       "ContentAccessDenied",
                                       "ContentOperationNotPermittedError",
                                       "ContentNotFoundError",
                                       "AuthenticationRequiredError",
                                       "ContentReSendError",
                                       "ContentConflictError",
                                       "ContentGoneError",
                                       "UnknownContentError",
                                       "ProtocolUnknownError",
                                       "ProtocolInvalidOperationError",
                                       "ProtocolFailure",
                                       "InternalServerError",
                                       "OperationNotImplementedError",
                                       "ServiceUnavailableError",
                                       "UnknownServerError"};

}  // namespace

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

const char* httpQueryErrorName(int error) {
    constexpr int count = static_cast<int>(sizeof kErrorNames / sizeof kErrorNames[0]);
    return error >= 0 && error < count ? kErrorNames[error] : "UnknownError";
}
