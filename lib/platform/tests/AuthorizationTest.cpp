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

// Who asks for the password: sudo on a terminal without a desktop session,
// else pkexec, else sudo on a terminal; without either the reason names what
// is missing.
TEST(AuthorizationTest, TheLauncherFollowsWhatIsInstalledAndTheSession) {
    const std::vector<std::string> pkexec = {"/usr/bin/pkexec"};
    const std::vector<std::string> sudo = {"/usr/bin/sudo", "--"};
    const std::string neither =
        "neither pkexec (/usr/bin/pkexec) nor sudo (/usr/bin/sudo) is installed to ask for "
        "administrator rights";
    const std::string noTerminal =
        "pkexec (/usr/bin/pkexec) is not installed, and sudo cannot ask for a password without "
        "a terminal";
    const struct {
        bool desktop, terminal, pkexec, sudo;
        std::vector<std::string> launcher;
        std::string reason;
    } cases[] = {
        {false, true, true, true, sudo, ""},        {true, true, true, true, pkexec, ""},
        {false, false, true, true, pkexec, ""},     {true, true, false, true, sudo, ""},
        {false, true, false, true, sudo, ""},       {false, false, false, true, {}, noTerminal},
        {true, false, false, true, {}, noTerminal}, {false, true, false, false, {}, neither},
        {true, true, true, false, pkexec, ""},      {false, false, false, false, {}, neither},
    };
    for (const auto& c : cases) {
        std::string reason = "stale";
        const auto launcher =
            sec::Authorization::chooseLauncher({c.desktop, c.terminal, c.pkexec, c.sudo}, reason);
        const std::string what = "desktop " + std::to_string(c.desktop) + " terminal " +
                                 std::to_string(c.terminal) + " pkexec " +
                                 std::to_string(c.pkexec) + " sudo " + std::to_string(c.sudo);
        EXPECT_EQ(c.launcher, launcher) << what;
        EXPECT_EQ(c.reason, reason) << what;
    }
}

}  // namespace
