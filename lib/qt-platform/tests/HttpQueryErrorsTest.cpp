#include <gtest/gtest.h>

#include <QMetaEnum>
#include <QNetworkReply>
#include <string>

#include "HttpQueryErrors.h"

namespace {

TEST(HttpQueryErrorsTest, EveryQtErrorMapsToTheCodeOfTheSameName) {
    const QMetaEnum qtErrors = QMetaEnum::fromType<QNetworkReply::NetworkError>();
    ASSERT_GE(qtErrors.keyCount(), 34);
    int covered = 0;
    for (int i = 0; i < qtErrors.keyCount(); ++i) {
        const std::string name = qtErrors.key(i);
        const int code = qtErrors.value(i);
        SCOPED_TRACE(name);
        const int mapped = httpQueryErrorFromQt(code);
        ASSERT_GE(mapped, 0);
        ASSERT_LT(mapped, 34);
        EXPECT_EQ(name, httpQueryErrorName(mapped));
        ++covered;
    }
    EXPECT_EQ(34, covered) << "Qt 5.15 names 34 network errors";
}

TEST(HttpQueryErrorsTest, CodesQtDoesNotNameAreUnknownNetworkErrors) {
    for (const int code : {-1, -100, 12, 98, 100, 106, 198, 200, 208, 298, 300, 303, 398, 400, 404,
                           498, 500, 1000}) {
        EXPECT_EQ(IHttpQuery::UnknownNetworkError, httpQueryErrorFromQt(code)) << code;
    }
}

}  // namespace
