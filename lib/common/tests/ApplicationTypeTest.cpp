#include <gtest/gtest.h>

#include "helper/ApplicationType.h"

using helper::ApplicationType;

namespace {

// Names exist for the kinds only; only the peers' names are read back.
TEST(ApplicationTypeTest, NamesOfKindsAndPeersOnlyRoundTrip) {
    for (const int outside : {14, -1, 1 << 30}) {
        EXPECT_EQ(nullptr, helper::toString(static_cast<ApplicationType>(outside))) << outside;
    }
    for (const char* name : {"attended", " Attended", "", "UnattendedUpdater", "MAX", "None"}) {
        EXPECT_EQ(ApplicationType::None, helper::fromString(name)) << name;
    }
    int roundTrips = 0;
    for (int value = 0; value <= 13; ++value) {
        const auto type = static_cast<ApplicationType>(value);
        ASSERT_NE(nullptr, helper::toString(type)) << value;
        roundTrips += helper::fromString(helper::toString(type)) == type ? 1 : 0;
    }
    EXPECT_EQ(12, roundTrips);  // the eleven peers, and None by default
}

}  // namespace
