#include <gtest/gtest.h>

#include "common/logging/LogFormatting.h"
#include "common/logging/StructuredRecord.h"

using namespace common;

namespace {

std::string sanitized(std::string text) {
    sanitizeMessage(text);
    return text;
}

TEST(LogFormattingTest, SanitizeRemovesBackslashesAndMasksSensitiveSpans) {
    EXPECT_EQ("pathtofile", sanitized("path\\to\\file"));
    EXPECT_EQ("user=***} ok", sanitized(R"(user={"sensitive":"abc"} ok)"));
    EXPECT_EQ("a ***", sanitized(R"(a {"sensitive":"abc")"));
    EXPECT_EQ("***} and ***}", sanitized(R"({"sensitive":1} and {"sensitive":"two"})"));
    EXPECT_EQ("", sanitized(""));
    // An escaped quote inside the marker still masks once the backslashes go.
    EXPECT_EQ("x ***}", sanitized(R"(x {\"sensitive\":\"abc\"})"));
    // Twelve characters or fewer are never masked.
    EXPECT_EQ("{\"sensitive\"", sanitized("{\"sensitive\""));
}

// Outputs of the former masking (search again from the start after every
// replacement), which the single pass must give unchanged.
TEST(LogFormattingTest, MaskingGivesTheFormerOutputs) {
    const std::pair<std::string, std::string> cases[] = {
        {R"(C:\dir {"sensitive":"pw"})", R"(C:\dir ***})"},
        {R"({"sensitive":1}{"sensitive":2})", "***}***}"},
        {R"({"sensitive":{"sensitive":"x"}} tail)", "***}} tail"},
        {R"({"sensitive":{"a":{"sensitive":1}}})", "***}}}"},
        {R"(x{"sensitive":}y{"sensitive":"open)", "x***}y***"},
        {R"({"sensitive":"}"})", R"(***}"})"},
        {R"({"sensitive":)", "***"},
        {R"({{"sensitive":"a"}{"sensitive":"b"}})", "{***}***}}"},
        {R"({"sensitive":"a" {"sensitive":"b"} c})", "***} c}"},
        {R"(pre {"sensitive":{"sensitive":{"sensitive":)", "pre ***"},
        {R"({"sensitive":"p"}} {"sensitive":"q"})", "***}} ***}"},
        {R"(***{"sensitive":"***"})", "******}"},
        {"no spans here", "no spans here"},
    };
    for (const auto& [input, expected] : cases) {
        std::string text = input;
        maskSensitiveSpans(text);
        EXPECT_EQ(expected, text) << "input: " << input;
    }
}

TEST(LogFormattingTest, SensitiveFieldsAreMasked) {
    StructuredRecord record{"t",
                            {{"sensitive", 42},
                             {"nested", std::string(R"({"sensitive":"pw"})")},
                             {"plain", std::string("visible")}}};
    maskSensitiveFields(record);
    EXPECT_EQ("***", std::get<std::string>(record.fields.at("sensitive")));
    EXPECT_EQ("***}", std::get<std::string>(record.fields.at("nested")));
    EXPECT_EQ("visible", std::get<std::string>(record.fields.at("plain")));
}

TEST(LogFormattingTest, JsonDeserializeFillsRecordOrFails) {
    StructuredRecord record;
    EXPECT_TRUE(json_deserialize(R"({"tag":"t","n":5,"s":"x"})", record));
    EXPECT_EQ("tag=t, n=\"5\", s=\"x\"", toString(record));
    StructuredRecord broken;
    EXPECT_FALSE(json_deserialize("{oops", broken));
    EXPECT_TRUE(broken.tag.empty());
    EXPECT_TRUE(broken.fields.empty());
}

}  // namespace
