#include <gtest/gtest.h>

#include "SslErrorFilter.h"

namespace {

std::vector<int> codesOf(const QList<QSslError>& errors) {
    std::vector<int> codes;
    for (const auto& error : errors) {
        codes.push_back(error.error());
    }
    return codes;
}

TEST(SslErrorFilterTest, CodesOutsideTheNamedRangeBecomeUnspecified) {
    EXPECT_EQ(QSslError::NoError, sslErrorFromInt(0));
    EXPECT_EQ(QSslError::CertificateBlacklisted, sslErrorFromInt(24));
    EXPECT_EQ(QSslError::UnspecifiedError, sslErrorFromInt(25));
    EXPECT_EQ(QSslError::UnspecifiedError, sslErrorFromInt(30));
    EXPECT_EQ(QSslError::UnspecifiedError, sslErrorFromInt(-5));

    EXPECT_EQ(22, sslErrorToInt(QSslError(QSslError::HostNameMismatch)));
    EXPECT_EQ(24, sslErrorToInt(QSslError(QSslError::CertificateBlacklisted)));
    EXPECT_EQ(-1, sslErrorToInt(QSslError(QSslError::CertificateStatusUnknown)));  // 25
    EXPECT_EQ(-1, sslErrorToInt(QSslError(QSslError::OcspResponseExpired)));
    EXPECT_EQ(-1, sslErrorToInt(QSslError(QSslError::UnspecifiedError)));
}

TEST(SslErrorFilterTest, MatchesFollowTheIgnoreListAndTakeTheFirstReportedError) {
    const QSslError selfSigned(QSslError::SelfSignedCertificate);
    const QSslError expired(QSslError::CertificateExpired);
    const QSslError mismatch(QSslError::HostNameMismatch);

    EXPECT_EQ((std::vector<int>{6, 9}),
              codesOf(matchSslErrors({selfSigned, expired}, {QSslError::CertificateExpired,
                                                             QSslError::SelfSignedCertificate})));
    // Two certificates with the same error, listed once: matched once.
    EXPECT_EQ(std::vector<int>{9}, codesOf(matchSslErrors({selfSigned, selfSigned},
                                                          {QSslError::SelfSignedCertificate})));
    // Listed twice: the first reported error twice.
    EXPECT_EQ((std::vector<int>{9, 9}),
              codesOf(matchSslErrors({selfSigned, mismatch}, {QSslError::SelfSignedCertificate,
                                                              QSslError::SelfSignedCertificate})));
    EXPECT_TRUE(matchSslErrors({selfSigned, mismatch}, {}).isEmpty());
    EXPECT_TRUE(matchSslErrors({}, {QSslError::SelfSignedCertificate}).isEmpty());
    EXPECT_TRUE(matchSslErrors({mismatch}, {QSslError::SelfSignedCertificate}).isEmpty());
}

}  // namespace
