#include <gtest/gtest.h>

#include "helper/ApplicationType.h"

using helper::ApplicationType;

namespace {

TEST(ApplicationTypeTest, NamesOfEveryKindAndNothingOutside) {
    EXPECT_STREQ("None", helper::toString(ApplicationType::None));
    EXPECT_STREQ("UnattendedUpdater", helper::toString(ApplicationType::UnattendedUpdater));
    EXPECT_STREQ("MAX", helper::toString(ApplicationType::MAX));
    EXPECT_EQ(nullptr, helper::toString(static_cast<ApplicationType>(14)));
    EXPECT_EQ(nullptr, helper::toString(static_cast<ApplicationType>(-1)));
    EXPECT_EQ(nullptr, helper::toString(static_cast<ApplicationType>(1 << 30)));
}

TEST(ApplicationTypeTest, FromStringRecognisesPeerNamesOnly) {
    EXPECT_EQ(ApplicationType::AttendedUi, helper::fromString("AttendedUi"));
    EXPECT_EQ(ApplicationType::Attended, helper::fromString("Attended"));
    EXPECT_EQ(ApplicationType::None, helper::fromString("attended"));
    EXPECT_EQ(ApplicationType::None, helper::fromString(" Attended"));
    EXPECT_EQ(ApplicationType::None, helper::fromString(""));
    EXPECT_EQ(ApplicationType::None, helper::fromString("UnattendedUpdater"));
    EXPECT_EQ(ApplicationType::None, helper::fromString("MAX"));
    EXPECT_EQ(ApplicationType::None, helper::fromString("None"));
    int roundTrips = 0;
    for (int value = 0; value <= 13; ++value) {
        const auto type = static_cast<ApplicationType>(value);
        roundTrips += helper::fromString(helper::toString(type)) == type ? 1 : 0;
    }
    EXPECT_EQ(12, roundTrips);  // the eleven peers, and None by default
}

}  // namespace
