#include <gtest/gtest.h>

#include "LocalSocketFrameCodec.h"

namespace {

std::vector<std::string> utf8(const std::vector<QString>& texts) {
    std::vector<std::string> out;
    for (const QString& text : texts) out.push_back(text.toStdString());
    return out;
}

// A frame is the QDataStream form of the text: its byte count (all ones for a null text), then
// its UTF-16 units, big-endian. Empty texts are no messages.
TEST(LocalSocketFrameCodecTest, FramesAreReadWholeAndInOrderHoweverTheBytesArrive) {
    const std::pair<QString, const char*> cases[] = {
        {QStringLiteral("abc"), "00000006006100620063"},
        {QString::fromUtf8("\xC3\xA9"), "0000000200e9"},
        {QString::fromUtf8("\xF0\x9F\x98\x80"), "00000004d83dde00"},
        {QString(""), "00000000"},
        {QString(), "ffffffff"},
    };
    QByteArray stream;
    std::vector<std::string> texts;
    for (const auto& [text, hex] : cases) {
        EXPECT_EQ(hex, LocalSocketFrameCodec::encode(text).toHex().toStdString());
        stream += QByteArray::fromHex(hex);
        if (!text.isEmpty()) texts.push_back(text.toStdString());
    }
    for (int piece = 1; piece <= stream.size(); ++piece) {
        LocalSocketFrameCodec codec;
        std::vector<std::string> read;
        for (int at = 0; at < stream.size(); at += piece) {
            for (const auto& text : utf8(codec.feed(stream.mid(at, piece)))) read.push_back(text);
        }
        EXPECT_EQ(texts, read) << "pieces of " << piece << " bytes";
        EXPECT_FALSE(codec.isCorrupt());
    }
}

TEST(LocalSocketFrameCodecTest, UnreadableFramesTurnTheStreamCorruptLongOnesAreAccepted) {
    const std::pair<const char*, bool> cases[] = {
        {"00000003", true},   // odd: no whole number of UTF-16 units
        {"01000002", true},   // one past 16 MiB
        {"fffffffe", true},   // close to 4 GiB
        {"01000000", false},  // exactly 16 MiB: waits for the text
    };
    for (const auto& [header, corrupt] : cases) {
        LocalSocketFrameCodec codec;
        const auto read =
            codec.feed(LocalSocketFrameCodec::encode("before") + QByteArray::fromHex(header) +
                       LocalSocketFrameCodec::encode("after"));
        EXPECT_EQ(std::vector<std::string>{"before"}, utf8(read)) << header;
        EXPECT_EQ(corrupt, codec.isCorrupt()) << header;
        EXPECT_TRUE(codec.feed(LocalSocketFrameCodec::encode("later")).empty()) << header;
    }
}

// A greeting's limit holds until the first message, an empty frame
// included, and is decided on the byte count, before any text is kept.
TEST(LocalSocketFrameCodecTest, AFrameOverTheNextMessagesLimitIsCorruptUntilAMessageIsRead) {
    const QByteArray greeting = LocalSocketFrameCodec::encode(QString(4, 'g'));
    const QByteArray longer = LocalSocketFrameCodec::encode(QString(5, 'l'));
    const struct {
        const char* what;
        QByteArray bytes;
        std::vector<std::string> read;
        bool corrupt;
    } cases[] = {
        {"at the limit", greeting + longer, {"gggg", "lllll"}, false},
        {"over it", longer + greeting, {}, true},
        {"over it after an empty frame", QByteArray::fromHex("00000000") + longer, {}, true},
        {"its count alone", QByteArray::fromHex("0000000a"), {}, true},
        {"a null frame first", QByteArray::fromHex("ffffffff") + greeting, {"gggg"}, false},
    };
    for (const auto& row : cases) {
        LocalSocketFrameCodec codec;
        codec.limitNextMessage(8);
        EXPECT_EQ(row.read, utf8(codec.feed(row.bytes))) << row.what;
        EXPECT_EQ(row.corrupt, codec.isCorrupt()) << row.what;
    }
}

}  // namespace
