#pragma once

#include <QList>
#include <QSslError>

// Certificate errors cross the layer's interfaces as Qt's integer codes 0 to
// 24; every other code is -1 (Qt's unspecified error). Both conversions
// compare as unsigned, so negative values give -1 as well.
QSslError::SslError sslErrorFromInt(int code);
int sslErrorToInt(const QSslError& error);

// The reported errors that the ignore list covers: for each code of the list,
// in the list's order, the first reported error with that code. An error
// reported twice is matched once per occurrence of its code in the list.
QList<QSslError> matchSslErrors(const QList<QSslError>& reported,
                                const QList<QSslError::SslError>& ignored);
