#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "RecordingLogger.h"
#include "interprocess/DataLinkRecord.h"
#include "interprocess/JsonSerialization.h"
#include "support/Mutations.h"

using interprocess::DataLinkRecord;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr auto kFuzzTime = std::chrono::seconds(2);

DataLinkRecord sample() {
    return {"A", "B", true, 0x0102030405060708, false, true, {'x', 'y', 'z'}};
}

}  // namespace

TEST(DataLinkRecordTest, ARecordIsItsFieldsLittleEndianWithNothingBetween) {
    const Bytes expected = {
        1, 0, 0, 0, 0, 0, 0, 0, 'A',              // From
        1, 0, 0, 0, 0, 0, 0, 0, 'B',              // To
        1,                                        // sync
        8, 7, 6, 5, 4, 3, 2, 1,                   // id
        0,                                        // toListener
        1,                                        // ack
        3, 0, 0, 0, 0, 0, 0, 0, 'x', 'y', 'z',    // payload
    };
    const auto record = sample();
    EXPECT_EQ(record.size(), 40u);
    EXPECT_EQ(record.encode(), expected);

    auto lines = std::make_shared<testsupport::RecordingLogger::Lines>();
    testsupport::RecordingLogger logger(lines);
    DataLinkRecord read;
    ASSERT_TRUE(DataLinkRecord::decode(expected.data(), expected.size(), read, logger));
    EXPECT_EQ(read.encode(), expected);
    EXPECT_TRUE(lines->all().empty());
}

TEST(DataLinkRecordTest, DamagedRecordsAreLoggedAndReadAsEmpty) {
    const Bytes good = sample().encode();
    const Bytes noPayload(good.begin(), good.end() - 11);  // ends before the payload length
    Bytes emptyFrom = {0, 0, 0, 0, 0, 0, 0, 0};
    Bytes hugeTo = {1, 0, 0, 0, 0, 0, 0, 0, 'A', 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};
    Bytes zeroPayload(good.begin(), good.end() - 11);
    zeroPayload.insert(zeroPayload.end(), 8, 0);
    const struct {
        const char* what;
        Bytes bytes;
        std::vector<std::string> lines;
    } cases[] = {
        {"empty From", emptyFrom, {"Try to read 0 bytes.", "From is empty in message"}},
        {"To longer than the record", hugeTo,
         {"Try to read more bytes than buffer size. Buffer size: 0, Try to read: 9223372036854775807",
          "To is empty in message"}},
        {"no payload length", noPayload,
         {"Try to read more bytes than buffer size. Buffer size: 0, Try to read: 8",
          "Try to read 0 bytes."}},
        {"payload of 0 bytes", zeroPayload, {"Try to read 0 bytes."}},
    };
    for (const auto& c : cases) {
        auto lines = std::make_shared<testsupport::RecordingLogger::Lines>();
        testsupport::RecordingLogger logger(lines);
        DataLinkRecord read;
        read.payload = {1};
        DataLinkRecord::decode(c.bytes.data(), c.bytes.size(), read, logger);
        EXPECT_TRUE(read.payload.empty()) << c.what;
        std::vector<std::string> texts;
        for (const auto& line : lines->all()) {
            EXPECT_EQ(line.level, common::loglevel::error) << c.what;
            texts.push_back(line.text);
        }
        EXPECT_EQ(texts, c.lines) << c.what;
    }
}

// Mutated records and link messages, for a bounded time: decoding never
// reads outside its input, and what it accepts reads back the same.
TEST(DataLinkRecordTest, FuzzedRecordsAndMessagesAreReadSafely) {
    std::string message;
    interprocess::json_serialize(interprocess::protocol::Command(interprocess::protocol::ConnectTo{"B", "A"}),
                                 message);
    const Bytes record = sample().encode();
    auto lines = std::make_shared<testsupport::RecordingLogger::Lines>();
    testsupport::RecordingLogger logger(lines);
    const auto rounds = testsupport::mutateFor(
        kFuzzTime, {std::string(record.begin(), record.end()), message}, "{[\"\\:,}]\0", 8,
        [&](const std::string& text, std::mt19937&) {
            // A heap copy of exactly the input's size, so that an overread is seen.
            std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[text.size() + 1]);
            std::copy(text.begin(), text.end(), exact.get());
            DataLinkRecord read;
            if (DataLinkRecord::decode(exact.get(), text.size(), read, logger) && !read.payload.empty()) {
                // Flags read any non-zero byte as true, so compare what was read.
                const auto written = read.encode();
                EXPECT_LE(written.size(), text.size());
                DataLinkRecord again;
                EXPECT_TRUE(DataLinkRecord::decode(written.data(), written.size(), again, logger));
                EXPECT_EQ(again.encode(), written);
            }
            interprocess::protocol::Command command;
            if (interprocess::json_deserialize(text, command, &logger)) {
                std::string again;
                interprocess::json_serialize(command, again);
                interprocess::protocol::Command reread;
                EXPECT_TRUE(interprocess::json_deserialize(again, reread)) << again;
            }
            return !::testing::Test::HasFailure();
        });
    EXPECT_GT(rounds, 100u);
}
