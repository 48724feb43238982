#include <gtest/gtest.h>

#include "platform/security/Authorization.h"

namespace sec = platform::security;

namespace {

// Only the administrator right is known, and executing needs it first.
TEST(AuthorizationTest, OnlyTheAdministratorRightIsKnownAndExecutingNeedsIt) {
    std::unique_ptr<sec::Authorization> authorization;
    ASSERT_EQ(sec::errAuthorizationSuccess,
              sec::Authorization::create({}, {}, sec::kAuthorizationFlagDefaults, authorization));
    ASSERT_NE(nullptr, authorization);
    EXPECT_EQ(sec::errAuthorizationDenied,
              authorization->copyRights(
                  {{"system.privilege.other", "", 0}}, {},
                  sec::kAuthorizationFlagInteractionAllowed | sec::kAuthorizationFlagExtendRights));
    FILE* pipe = nullptr;
    EXPECT_EQ(sec::errAuthorizationDenied,
              authorization->executeWithPrivileges("/bin/true", 0, nullptr, &pipe));
    EXPECT_EQ(nullptr, pipe);
    EXPECT_EQ(sec::errAuthorizationInvalidPointer,
              authorization->executeWithPrivileges("/bin/true", 0, nullptr, nullptr));
    EXPECT_EQ(sec::errAuthorizationInvalidPointer,
              authorization->executeWithPrivileges(nullptr, 0, nullptr, &pipe));
    EXPECT_EQ(sec::errAuthorizationDenied,
              sec::Authorization::create({{"system.other", "", 0}}, {},
                                         sec::kAuthorizationFlagInteractionAllowed, authorization));
    EXPECT_EQ(nullptr, authorization);
}

}  // namespace
