#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "network/Base64.h"
#include "network/ByteCursor.h"
#include "network/CBYTESubBuffer.h"
#include "network/Hex.h"
#include "network/MD5Hasher.h"
#include "network/Random.h"
#include "network/SHA1Hasher.h"
#include "network/StreambufHelpers.h"

namespace {

template <typename Hasher>
std::string digestHex(const std::string& text, std::size_t pieces) {
    Hasher hasher;
    // Fed in pieces: the state runs across updates.
    const std::size_t step = text.empty() ? 1 : (text.size() + pieces - 1) / pieces;
    for (std::size_t at = 0; at < text.size(); at += step) {
        const auto piece = text.substr(at, step);
        hasher.Update(piece.data(), piece.size());
    }
    return network::ToHex(hasher.Final());
}

// The hashers wrap OpenSSL: two vectors show the algorithm, the state kept
// across updates and the digest's length; more would test OpenSSL.
TEST(DigestTest, Md5AndSha1MatchTheirTestVectors) {
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", digestHex<network::MD5Hasher>("", 3));
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", digestHex<network::SHA1Hasher>("", 3));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", digestHex<network::MD5Hasher>("abc", 3));
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", digestHex<network::SHA1Hasher>("abc", 3));
}

TEST(DigestTest, Base64MatchesRfc4648AndTheWebSocketAcceptValue) {
    struct Case {
        std::string input, encoded;
    };
    for (const auto& c : std::vector<Case>{{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="},
                                           {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
                                           {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
                                           {std::string("\xfb\xff\x00", 3), "+/8A"}}) {
        EXPECT_EQ(c.encoded, network::Base64Encode(c.input)) << c.input;
        const network::ByteBuffer buffer(reinterpret_cast<const unsigned char*>(c.input.data()),
                                         c.input.size());
        EXPECT_EQ(c.encoded, network::Base64Encode(buffer)) << c.input;
    }
    // RFC 6455 section 1.3: the accept value of the sample key.
    network::SHA1Hasher sha1;
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    sha1.Update(key.data(), key.size());
    EXPECT_EQ("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", network::Base64Encode(sha1.Final()));
}

TEST(DigestTest, HexInBothCases) {
    const unsigned char bytes[] = {0x00, 0xab, 0x7f, 0xf0};
    EXPECT_EQ("00ab7ff0", network::ToHex(bytes, 4));
    EXPECT_EQ("00AB7FF0", network::ToHex(bytes, 4, true));
}

TEST(RandomTest, SeedZeroIsUnpredictableWithinOneSecondOtherSeedsRepeat) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        unsigned char mask[16];
        network::MakeRandomBytes(mask, sizeof mask, 0);
        seen.insert(network::ToHex(mask, sizeof mask));
        seen.insert(network::MakeRandomString(24, 0));
    }
    EXPECT_EQ(100u, seen.size()) << "seed 0 repeated itself";
    EXPECT_EQ(network::MakeRandomString(32, 7), network::MakeRandomString(32, 7));
    EXPECT_NE(network::MakeRandomString(32, 7), network::MakeRandomString(32, 8));
    for (const char c : network::MakeRandomString(200, 0)) {
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << int(c);
    }
}

TEST(BufferTest, CursorStopsAtItsEndAndJoinMovesASingleBuffer) {
    unsigned char target[4] = {};
    network::ByteCursor cursor(target, sizeof target);
    EXPECT_TRUE(cursor.Write("ab", 2));
    EXPECT_FALSE(cursor.Write("cdefghij", 8));
    EXPECT_EQ(0u, cursor.Remaining());
    EXPECT_EQ(0, std::memcmp(target, "abcd", 4));

    std::vector<network::ByteBuffer> one;
    one.emplace_back(reinterpret_cast<const unsigned char*>("xyz"), 3);
    const auto* bytes = one.front().data();
    EXPECT_EQ(bytes, network::JoinBuffers(std::move(one)).data()) << "a single buffer was copied";

    std::vector<network::ByteBuffer> three;
    for (const char* piece : {"ab", "", "cde"}) {
        three.emplace_back(reinterpret_cast<const unsigned char*>(piece), std::strlen(piece));
    }
    const auto joined = network::JoinBuffers(std::move(three));
    EXPECT_EQ("abcde", std::string(joined.begin(), joined.end()));
}

}  // namespace
