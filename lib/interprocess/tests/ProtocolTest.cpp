#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "RecordingLogger.h"
#include "interprocess/JsonSerialization.h"

using namespace interprocess;
using namespace interprocess::protocol;

TEST(ProtocolTest, EveryMessageIsWrittenByteForByte) {
    const struct {
        Command message;
        const char* text;
    } cases[] = {
        {ConnectTo{"B", "A"}, R"({"command":{"to":"B","from":"A","$":"ConnectTo"}})"},
        {ConnectAccepted{"B"}, R"({"command":{"from":"B","$":"ConnectAccepted"}})"},
        {ConnectRejected{}, R"({"command":{"$":"ConnectRejected"}})"},
        {Disconnect{}, R"({"command":{"$":"Disconnect"}})"},
        {Shutdown{}, R"({"command":{"$":"Shutdown"}})"},
        {Ping{{"x"}}, R"({"command":{"id":"x","$":"Ping"}})"},
        {Pong{{"x"}}, R"({"command":{"id":"x","$":"Pong"}})"},
        {Data{"t"}, R"({"command":{"json":"t","$":"Data"}})"},
        {Data{"{\"a\":\"q\\\\\"}"}, R"({"command":{"json":"{\"a\":\"q\\\\\"}","$":"Data"}})"},
    };
    for (const auto& c : cases) {
        std::string text;
        ASSERT_TRUE(json_serialize(c.message, text));
        EXPECT_EQ(text, c.text);
        Command read;
        ASSERT_TRUE(json_deserialize(text, read)) << text;
        EXPECT_EQ(read.index(), c.message.index()) << text;
        std::string again;
        json_serialize(read, again);
        EXPECT_EQ(again, text) << "read back differently";
    }
}

TEST(ProtocolTest, ReadingAcceptsBothFormsAndRefusesTheRest) {
    // Read successfully: the index and the one field of the message read.
    const struct {
        const char* text;
        std::size_t index;
        std::string field;
    } accepted[] = {
        {R"({"command":{"$":"Ping","id":"x"}})", 5, "x"},
        {R"({"command":{"$":"Ping","$v":{"id":"x"}}})", 5, "x"},
        {R"({"command":{"$":"Ping"}})", 5, ""},
        {R"({"command":{"$":"Pong","id":"y","other":3}})", 6, "y"},
        {R"({"command":{"json":"j\u0000k","$":"Data"}})", 7, std::string("j\0k", 3)},
    };
    for (const auto& c : accepted) {
        Command read = Shutdown{};
        ASSERT_TRUE(json_deserialize(c.text, read)) << c.text;
        EXPECT_EQ(read.index(), c.index) << c.text;
        std::string field;
        if (const auto* ping = std::get_if<Ping>(&read)) field = ping->id;
        if (const auto* pong = std::get_if<Pong>(&read)) field = pong->id;
        if (const auto* data = std::get_if<Data>(&read)) field = data->json;
        EXPECT_EQ(field, c.field) << c.text;
    }
    // Refused, leaving the message as it was.
    const char* refused[] = {
        R"({"command":{"$":"Ping","id":5}})",
        R"({"command":{"$":"ping"}})",
        R"({"command":{"$":"Pingx"}})",
        R"({"command":{"to":"a"}})",
        R"({"command":{"$":5}})",
        R"({"command":{"$":"Ping","$v":[]}})",
        R"({"command":[]})",
        R"({"command":"Ping"})",
        R"({})",
        "[1]",
        "5",
        "{",
    };
    for (const char* text : refused) {
        Command read = Shutdown{};
        EXPECT_FALSE(json_deserialize(text, read)) << text;
        EXPECT_TRUE(std::holds_alternative<Shutdown>(read)) << text;
    }
}

TEST(ProtocolTest, ReadingFailuresAreLoggedWithTheParserMessage) {
    const std::string deep = std::string(17, '[') + std::string(17, ']');
    const std::string large = R"({"command":{"json":")" + std::string(16384, 'a') + R"(","$":"Data"}})";
    const struct {
        std::string text;
        std::string line;
    } cases[] = {
        {"{", "Unable to convert json: {, error: Missing a name for object member."},
        {deep, "Unable to convert json: " + deep + ", error: The document is nested too deeply."},
        {large, "Unable to convert json: " + large.substr(0, 64) +
                    "..., error: The document is too large."},
    };
    for (const auto& c : cases) {
        auto lines = std::make_shared<testsupport::RecordingLogger::Lines>();
        testsupport::RecordingLogger logger(lines);
        Command read;
        EXPECT_FALSE(json_deserialize(c.text, read, &logger));
        EXPECT_EQ(lines->count(common::loglevel::error, c.line), 1) << c.line;
    }
    // Sixteen levels are still read.
    Command read;
    const std::string nested =
        R"({"command":{"$":"Shutdown","x":)" + std::string(14, '[') + std::string(14, ']') + "}}";
    EXPECT_TRUE(json_deserialize(nested, read)) << nested;
}

// Brackets inside strings are no nesting, whatever the strings hold: an
// escaped quote does not end a string, an escaped backslash before a quote
// does not keep it open.
TEST(ProtocolTest, TheNestingLimitCountsOnlyBracketsOutsideStrings) {
    const std::string deep = std::string(17, '[') + std::string(17, ']');
    const std::string brackets = std::string(40, '[') + std::string(40, '{');
    const struct {
        std::string text;
        bool read;
    } cases[] = {
        {R"({"command":{"json":"\")" + brackets + R"(","$":"Data"}})", true},
        {R"({"command":{"json":"a\"b\")" + brackets + R"(\"","$":"Data"}})", true},
        {R"({"command":{"json":"\\","$":"Data"},"x":)" + deep + "}", false},
        {R"({"command":{"json":"\\\"\\","$":"Data"},"x":)" + deep + "}", false},
        {R"({"command":{"json":"x","$":"Data"},"x":)" + std::string(15, '[') +
             std::string(15, ']') + "}",
         true},
    };
    for (const auto& row : cases) {
        Command read;
        EXPECT_EQ(json_deserialize(row.text, read), row.read) << row.text;
    }
    // What a Data message carries reads back the same.
    std::string text;
    json_serialize(Command(Data{"\"" + brackets}), text);
    Command read;
    ASSERT_TRUE(json_deserialize(text, read)) << text;
    EXPECT_EQ(std::get<Data>(read).json, "\"" + brackets);
}
