#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/posix/ExtendedAttributes.h"
#include "support/AttributeFolder.h"

namespace xattr = platform::posix;

namespace {

TEST(ExtendedAttributesTest, ReadsTheProductsNameInTheUserNamespace) {
    testsupport::AttributeFolder folder;
    if (!folder.usable()) {
        GTEST_SKIP() << "no file system here keeps user extended attributes";
    }
    EXPECT_EQ("user.com.wexo.quandel", xattr::systemAttributeName("com.wexo.quandel"));
    ASSERT_TRUE(folder.set("com.wexo.quandel", "{\"a\":1}"));

    EXPECT_EQ(7, xattr::getxattr(folder.path(), "com.wexo.quandel", nullptr, 0, 0, 0));
    char buffer[16] = {};
    ASSERT_EQ(7, xattr::getxattr(folder.path(), "com.wexo.quandel", buffer, sizeof buffer, 0, 0));
    EXPECT_EQ("{\"a\":1}", std::string(buffer, 7));

    errno = 0;
    EXPECT_EQ(-1, xattr::getxattr(folder.path(), "com.wexo.quandel", buffer, 3, 0, 0));
    EXPECT_EQ(ERANGE, errno);
    errno = 0;
    EXPECT_EQ(-1, xattr::getxattr(folder.path(), "com.wexo.other", nullptr, 0, 0, 0));
    EXPECT_EQ(xattr::kNoAttribute, errno);
    errno = 0;
    EXPECT_EQ(-1, xattr::getxattr(folder.path(), "com.wexo.quandel", buffer, sizeof buffer, 1, 0));
    EXPECT_EQ(EINVAL, errno);
}

}  // namespace
