#pragma once

#include <cstdint>

// The code that a web socket's error handler gets for one of Qt's socket
// errors (QAbstractSocket::SocketError): 0 to 22 as they are, and -1 for
// Qt's unknown error and every value above 22.
std::int32_t webSocketErrorCode(int qtError);

// The name of a Qt socket error as metrics records carry it
// ("ConnectionRefusedError", ...); "Unknown" for a value Qt does not name.
const char* socketErrorName(int qtError);
