#include <gtest/gtest.h>

#include "LocalSocketFrameCodec.h"

namespace {

std::vector<std::string> utf8(const std::vector<QString>& texts) {
    std::vector<std::string> out;
    for (const QString& text : texts) {
        out.push_back(text.toStdString());
    }
    return out;
}

TEST(LocalSocketFrameCodecTest, FramesAreTheDataStreamFormOfTheText) {
    const struct {
        QString text;
        const char* hex;
    } cases[] = {
        {QStringLiteral("abc"), "00000006006100620063"},
        {QString::fromUtf8("\xC3\xA9"), "0000000200e9"},
        {QString::fromUtf8("\xF0\x9F\x98\x80"), "00000004d83dde00"},
        {QString(""), "00000000"},
        {QString(), "ffffffff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        EXPECT_EQ(c.hex, LocalSocketFrameCodec::encode(c.text).toHex().toStdString());
        LocalSocketFrameCodec codec;
        const auto read = codec.feed(QByteArray::fromHex(c.hex));
        EXPECT_EQ(c.text.isEmpty() ? std::vector<std::string>{}
                                   : std::vector<std::string>{c.text.toStdString()},
                  utf8(read));
        EXPECT_FALSE(codec.isCorrupt());
    }
}

TEST(LocalSocketFrameCodecTest, MessagesComeWholeAndInOrderHoweverTheBytesArrive) {
    const QByteArray stream =
        LocalSocketFrameCodec::encode("abc") + LocalSocketFrameCodec::encode("") +
        LocalSocketFrameCodec::encode(QString()) +
        LocalSocketFrameCodec::encode(QString::fromUtf8("\xC3\xA9 \xF0\x9F\x98\x80"));
    for (int piece = 1; piece <= stream.size(); ++piece) {
        SCOPED_TRACE("pieces of " + std::to_string(piece) + " bytes");
        LocalSocketFrameCodec codec;
        std::vector<std::string> read;
        for (int at = 0; at < stream.size(); at += piece) {
            for (const auto& text : utf8(codec.feed(stream.mid(at, piece)))) {
                read.push_back(text);
            }
        }
        EXPECT_EQ((std::vector<std::string>{"abc", "\xC3\xA9 \xF0\x9F\x98\x80"}), read);
    }
}

TEST(LocalSocketFrameCodecTest, UnreadableFramesTurnTheStreamCorruptLongOnesAreAccepted) {
    const struct {
        const char* header;
        bool corrupt;
    } cases[] = {
        {"00000003", true},   // odd: no whole number of UTF-16 units
        {"01000002", true},   // one past 16 MiB
        {"fffffffe", true},   // close to 4 GiB
        {"01000000", false},  // exactly 16 MiB: waits for the text
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        LocalSocketFrameCodec codec;
        const auto read =
            codec.feed(LocalSocketFrameCodec::encode("before") + QByteArray::fromHex(c.header) +
                       LocalSocketFrameCodec::encode("after"));
        EXPECT_EQ(std::vector<std::string>{"before"}, utf8(read));
        EXPECT_EQ(c.corrupt, codec.isCorrupt());
        EXPECT_TRUE(codec.feed(LocalSocketFrameCodec::encode("later")).empty());
    }
}

}  // namespace
