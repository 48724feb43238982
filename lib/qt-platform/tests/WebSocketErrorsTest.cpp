#include <gtest/gtest.h>

#include <QAbstractSocket>
#include <QMetaEnum>
#include <string>

#include "WebSocketErrors.h"

namespace {

TEST(WebSocketErrorsTest, EverySocketErrorOfQtHasItsNameAndCode) {
    const QMetaEnum qtErrors = QMetaEnum::fromType<QAbstractSocket::SocketError>();
    ASSERT_EQ(24, qtErrors.keyCount()) << "Qt 5.15 names 24 socket errors";
    for (int i = 0; i < qtErrors.keyCount(); ++i) {
        const int value = qtErrors.value(i);
        SCOPED_TRACE(qtErrors.key(i));
        EXPECT_STREQ(qtErrors.key(i), socketErrorName(value));
        EXPECT_EQ(value, webSocketErrorCode(value));
    }
}

TEST(WebSocketErrorsTest, ValuesQtDoesNotNameAreUnknown) {
    for (const int value : {-2, 23, 99, 1000}) {
        SCOPED_TRACE(value);
        EXPECT_STREQ("Unknown", socketErrorName(value));
        EXPECT_EQ(-1, webSocketErrorCode(value));
    }
}

}  // namespace
