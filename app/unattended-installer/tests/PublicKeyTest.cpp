#include <gtest/gtest.h>

#include "UnattendedInstallerApplication.h"

using quorvane::unattended::UnattendedInstallerApplication;

namespace {

std::string keyOfPath(const std::string& path) {
    return UnattendedInstallerApplication::getPublicKeyFromPath(path);
}

TEST(PublicKeyTest, SixtyFourCharactersBetweenTheFirstMarkerAndTheLastUnderscore) {
    const std::string key(64, 'k');
    EXPECT_EQ(key, keyOfPath("/Applications/Setup_K_" + key + "_.app/Contents/MacOS/Setup"));
    const std::string odd = "abc_/$%'\" K_" + std::string(52, 'x');
    ASSERT_EQ(64u, odd.size());
    EXPECT_EQ(odd, keyOfPath("/x/K_" + odd + "_/Setup"));
}

TEST(PublicKeyTest, OtherLengthsAndLaterUnderscoresGiveNoKey) {
    EXPECT_EQ("", keyOfPath("/Applications/Setup_K_" + std::string(63, 'k') + "_.app/MacOS/S"));
    EXPECT_EQ("", keyOfPath("/Applications/Setup_K_" + std::string(65, 'k') + "_.app/MacOS/S"));
    // The greedy match runs to the last underscore of the path.
    EXPECT_EQ("", keyOfPath("/A/Setup_K_" + std::string(64, 'k') + "_.app/Contents/MacOS/my_tool"));
    EXPECT_EQ("", keyOfPath("/A/Setup.app/Contents/MacOS/Setup"));
    EXPECT_EQ("", keyOfPath("/A/K_" + std::string(64, 'k')));
    EXPECT_EQ("", keyOfPath(""));
}

TEST(PublicKeyTest, TheFirstMarkerStartsTheKey) {
    const std::string key = "K_" + std::string(62, 'q');
    EXPECT_EQ(key, keyOfPath("/A/K_" + key + "_/x"));
}

}  // namespace
