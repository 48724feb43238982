#include <gtest/gtest.h>

#include <QString>

#include "Utf8ChunkDecoder.h"

namespace {

std::string decodeIn(const std::vector<std::string>& chunks) {
    Utf8ChunkDecoder decoder;
    std::string text;
    for (const auto& chunk : chunks) {
        text += decoder.decode(QByteArray(chunk.data(), int(chunk.size())));
    }
    return text + decoder.finish();
}

// Characters of two, three and four bytes between ASCII, then malformed bytes, split in three
// anywhere, read as Qt reads them in one piece.
TEST(Utf8ChunkDecoderTest, TextSplitAnywhereReadsAsInOnePiece) {
    for (const std::string text : {"a\xc3\xa9"
                                   "b\xe2\x82\xac"
                                   "c\xf0\x9f\x98\x80"
                                   "d\xe4\xb8\x96",
                                   "x\xff"
                                   "y\xc3"
                                   "z\x80\x80"
                                   "w",
                                   "ok\xe2\x82"}) {
        const auto expected =
            QString::fromUtf8(text.data(), int(text.size())).toUtf8().toStdString();
        for (std::size_t first = 0; first <= text.size(); ++first) {
            for (std::size_t second = first; second <= text.size(); ++second) {
                ASSERT_EQ(expected,
                          decodeIn({text.substr(0, first), text.substr(first, second - first),
                                    text.substr(second)}))
                    << testing::PrintToString(text) << " split at " << first << " " << second;
            }
        }
    }
}

}  // namespace
