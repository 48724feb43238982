#include <gtest/gtest.h>

#include <QString>

#include "Utf8ChunkDecoder.h"

namespace {

// Two-, three- and four-byte characters between ASCII.
const std::string kText =
    "a\xc3\xa9"
    "b\xe2\x82\xac"
    "c\xf0\x9f\x98\x80"
    "d\xe4\xb8\x96\xe7\x95\x8c";

std::string decodeIn(const std::vector<std::string>& chunks) {
    Utf8ChunkDecoder decoder;
    std::string text;
    for (const auto& chunk : chunks) {
        text += decoder.decode(QByteArray(chunk.data(), int(chunk.size())));
    }
    return text + decoder.finish();
}

std::string asQtReadsIt(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), int(bytes.size())).toUtf8().toStdString();
}

TEST(Utf8ChunkDecoderTest, CharactersSplitAnywhereAreJoined) {
    for (std::size_t first = 0; first <= kText.size(); ++first) {
        for (std::size_t second = first; second <= kText.size(); ++second) {
            const std::vector<std::string> chunks{
                kText.substr(0, first), kText.substr(first, second - first), kText.substr(second)};
            ASSERT_EQ(kText, decodeIn(chunks)) << first << " " << second;
        }
    }
}

TEST(Utf8ChunkDecoderTest, MalformedBytesReadAsQtReadsThem) {
    const std::string broken =
        "x\xff"
        "y\xc3"
        "z\x80\x80"
        "w";
    EXPECT_EQ(asQtReadsIt(broken), decodeIn({broken}));
    EXPECT_EQ(asQtReadsIt(broken), decodeIn({broken.substr(0, 4), broken.substr(4)}));
    // A character that never completes reads as it would in one piece.
    EXPECT_EQ(asQtReadsIt("ok\xe2\x82"), decodeIn({"ok\xe2\x82"}));
    EXPECT_EQ(asQtReadsIt("ok\xe2\x82"), decodeIn({"ok\xe2", "\x82"}));
    EXPECT_NE(std::string::npos, decodeIn({"ok\xe2", "\x82"}).find("\xef\xbf\xbd"));
}

}  // namespace
