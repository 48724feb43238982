#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "interprocess/KeyedNameHash.h"
#include "support/ChildProcess.h"

using interprocess::KeyedNameHash;

TEST(KeyedNameHashTest, SipHashGivesTheReferenceValues) {
    // The key 00 01 ... 0f, and messages 00 01 ... of each length: the values of SipHash-2-4's
    // reference, read as little-endian numbers.
    KeyedNameHash::Key key{};
    std::iota(key.begin(), key.end(), std::uint8_t{0});
    const struct {
        std::size_t length;
        std::uint64_t value;
    } rows[] = {
        {0, 0x726fdb47dd0e0e31ULL},  {1, 0x74f839c593dc67fdULL},  {7, 0xab0200f58b01d137ULL},
        {8, 0x93f5f5799a932462ULL},  {9, 0x9e0082df0ba9e4b0ULL},  {15, 0xa129ca6149be45e5ULL},
        {16, 0x3f2acc7f57c29bdbULL}, {63, 0x958a324ceb064572ULL},
    };
    std::vector<std::uint8_t> message(64);
    std::iota(message.begin(), message.end(), std::uint8_t{0});
    for (const auto& row : rows) {
        SCOPED_TRACE(row.length);
        EXPECT_EQ(KeyedNameHash::sipHash(key, message.data(), row.length), row.value);
        // Another key, another value.
        auto other = key;
        other[row.length % other.size()] ^= 1;
        EXPECT_NE(KeyedNameHash::sipHash(other, message.data(), row.length), row.value);
    }
}

TEST(KeyedNameHashTest, AProcessHashesANameAlikeForItsLifeAndSoDoesItsFork) {
    const KeyedNameHash hash;
    const std::string name = "0123456789abcdef_Unattended~1000.k3F9xQ0aLm2Z";
    const std::size_t value = hash(name);
    EXPECT_EQ(hash(name), value);
    EXPECT_EQ(value, static_cast<std::size_t>(KeyedNameHash::sipHash(
                         KeyedNameHash::processKey(), name.data(), name.size())));
    // A fork holds names hashed with the key it was made with.
    const auto child = testsupport::runInChild(
        [&] { return KeyedNameHash{}(name) == value ? 0 : 1; });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.exitCode, 0);
}
