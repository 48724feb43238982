#include "WebSocketErrors.h"

namespace {

// Qt's socket errors 0 to 22, by value.
constexpr const char* kSocketErrorNames[] = {"ConnectionRefusedError",
                                             "RemoteHostClosedError",
                                             "HostNotFoundError",
                                             "SocketAccessError",
                                             "SocketResourceError",
                                             "SocketTimeoutError",
                                             "DatagramTooLargeError",
                                             "NetworkError",
                                             "AddressInUseError",
                                             "SocketAddressNotAvailableError",
                                             "UnsupportedSocketOperationError",
                                             "UnfinishedSocketOperationError",
                                             "ProxyAuthenticationRequiredError",
                                             "SslHandshakeFailedError",
                                             "ProxyConnectionRefusedError",
                                             "ProxyConnectionClosedError",
                                             "ProxyConnectionTimeoutError",
                                             "ProxyNotFoundError",
                                             "ProxyProtocolError",
                                             "OperationError",
                                             "SslInternalError",
                                             "SslInvalidUserDataError",
                                             "TemporaryError"};

constexpr int kNamedErrors =
    static_cast<int>(sizeof kSocketErrorNames / sizeof kSocketErrorNames[0]);

}  // namespace

std::int32_t webSocketErrorCode(int qtError) {
    return qtError >= 0 && qtError < kNamedErrors ? qtError : -1;
}

const char* socketErrorName(int qtError) {
    if (qtError == -1) {
        return "UnknownSocketError";
    }
    return qtError >= 0 && qtError < kNamedErrors ? kSocketErrorNames[qtError] : "Unknown";
}
