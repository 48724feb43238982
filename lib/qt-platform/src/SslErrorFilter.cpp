#include "SslErrorFilter.h"

namespace {

constexpr unsigned kLastNamedCode = 24;

}  // namespace

QSslError::SslError sslErrorFromInt(int code) {
    return static_cast<unsigned>(code) <= kLastNamedCode ? static_cast<QSslError::SslError>(code)
                                                         : QSslError::UnspecifiedError;
}

int sslErrorToInt(const QSslError& error) {
    const int code = static_cast<int>(error.error());
    return static_cast<unsigned>(code) <= kLastNamedCode ? code : -1;
}

QList<QSslError> matchSslErrors(const QList<QSslError>& reported,
                                const QList<QSslError::SslError>& ignored) {
    QList<QSslError> matched;
    if (reported.isEmpty() || ignored.isEmpty()) {
        return matched;
    }
    for (const auto code : ignored) {
        for (const auto& error : reported) {
            if (error.error() == code) {
                matched.append(error);
                break;
            }
        }
    }
    return matched;
}
