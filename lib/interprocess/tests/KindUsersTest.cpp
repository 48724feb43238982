#include "interprocess/KindUsers.h"

#include <gtest/gtest.h>

#include <string>

#include "SessionOf.h"

namespace {

using helper::ApplicationType;
using interprocess::KindUsers;
using interprocesstest::SessionOf;

constexpr uid_t kRoot = 0;
constexpr uid_t kSession = 1001;
constexpr uid_t kOther = 65534;

TEST(KindUsersTest, APeerIsRootOrTheOneUserItsKindBelongsToAsSeenFromEachSide) {
    const struct {
        ApplicationType kind;
        uid_t peer;
        uid_t self;
        bool may;
    } cases[] = {
        // Root-only kinds are root's, even for a process of the peer's own user.
        {ApplicationType::Unattended, kSession, kSession, false},
        {ApplicationType::RemoteControl, kOther, kOther, false},
        {ApplicationType::Unattended, kRoot, kSession, true},
        // User interfaces: root's, or the session user's as root sees them,
        // the own user's as a user's process sees them.
        {ApplicationType::UnattendedUi, kSession, kRoot, true},
        {ApplicationType::AttendedUi, kOther, kRoot, false},
        {ApplicationType::CustomerAttendedAppUi, kRoot, kRoot, true},
        {ApplicationType::AttendedUi, kOther, kSession, false},
        {ApplicationType::AttendedUi, kOther, kOther, true},
        // Other kinds users run: the same.
        {ApplicationType::Attended, kOther, kRoot, false},
        {ApplicationType::Attended, kSession, kRoot, true},
        {ApplicationType::CustomerAttendedApp, kOther, kOther, true},
        // A name that is no kind: root's or the own user's.
        {ApplicationType::None, kSession, kSession, true},
        {ApplicationType::None, kOther, kSession, false},
    };
    const SessionOf session(kSession);
    for (const auto& row : cases) {
        SCOPED_TRACE(std::string(helper::toString(row.kind)) + " peer " + std::to_string(row.peer) +
                     " self " + std::to_string(row.self));
        EXPECT_EQ(KindUsers::mayHost(row.kind, row.peer, row.self), row.may);
        EXPECT_EQ(KindUsers::mayOwnQueue(row.kind, row.peer, row.self), row.may);
        EXPECT_EQ(KindUsers::mayGreet(row.kind, row.peer, row.self),
                  row.may && row.kind != ApplicationType::None);
    }
    EXPECT_FALSE(KindUsers::mayGreet(ApplicationType::MAX, kRoot, kRoot));
}

TEST(KindUsersTest, NamesOfKindsUsersRunCarryTheirUser) {
    const SessionOf session(kSession);
    const struct {
        const char* name;
        uid_t self;
        const char* own;
        const char* peer;
    } cases[] = {
        {"Attended", kRoot, "Attended.0", "Attended.1001"},
        {"Attended", kOther, "Attended.65534", "Attended.65534"},
        {"UnattendedUi", kRoot, "UnattendedUi.0", "UnattendedUi.1001"},
        {"Unattended", kRoot, "Unattended", "Unattended"},
        {"Unattended", kOther, "Unattended", "Unattended"},
        {"Test", kOther, "Test", "Test"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(std::string(row.name) + " self " + std::to_string(row.self));
        EXPECT_EQ(KindUsers::ownName(row.name, row.self), row.own);
        EXPECT_EQ(KindUsers::peerName(row.name, row.self), row.peer);
    }
}

}  // namespace
