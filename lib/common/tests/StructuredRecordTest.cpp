#include <gtest/gtest.h>

#include <limits>

#include <rapidjson/document.h>

#include "common/logging/StructuredRecord.h"

using namespace common;

namespace {

StructuredRecord parse(const std::string& json) {
    rapidjson::Document document;
    document.Parse(json.c_str());
    StructuredRecord record;
    EXPECT_TRUE(fromJson(record, document)) << json;
    return record;
}

// Each record's compact JSON and its text form.
TEST(StructuredRecordTest, WritesTagThenFieldsInKeyOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        StructuredRecord record;
        const char* json;
        const char* text;
    } cases[] = {
        {{"", {}}, R"({"tag":""})", "tag="},
        {{"r", {{"b", -2}, {"a", std::string("x")}}},
         R"({"tag":"r","a":"x","b":-2})",
         R"(tag=r, a="x", b="-2")"},
        {{"f", {{"v", 0.1f}, {"w", 1234567.0}}},
         R"({"tag":"f","v":0.10000000149011612,"w":1234567.0})",
         R"(tag=f, v="0.1", w="1.23457e+06")"},
        {{"m", {{"a", nan}, {"b", -inf}, {"d", 1}}},
         R"({"tag":"m","a":"nan","b":"-inf","d":1})",
         R"(tag=m, a="nan", b="-inf", d="1")"},
    };
    for (const auto& [record, json, text] : cases) {
        std::string written;
        ASSERT_TRUE(toJsonString(record, written));
        EXPECT_EQ(json, written);
        EXPECT_EQ(text, toString(record));
    }
}

TEST(StructuredRecordTest, ReadsNumbersIntoTheNarrowestAlternativeAndOtherValuesAsText) {
    const auto record = parse(R"({"tag":true,"a":5,"b":-5,"c":5000000000,"d":-5000000000,)"
                              R"("e":1.5,"f":"s","n":null,"o":{"k":[1,"x"]},"a":7})");
    EXPECT_EQ("true", record.tag);
    const std::pair<const char*, std::size_t> kinds[] = {{"a", 0}, {"b", 1}, {"c", 3}, {"d", 2},
                                                         {"e", 5}, {"f", 6}, {"n", 6}, {"o", 6}};
    for (const auto& [key, kind] : kinds) {
        EXPECT_EQ(kind, record.fields.at(key).index()) << key;
    }
    EXPECT_EQ(7u, std::get<unsigned int>(record.fields.at("a"))) << "the last duplicate wins";
    EXPECT_EQ(-5000000000LL, std::get<long long>(record.fields.at("d")));
    EXPECT_EQ("null", std::get<std::string>(record.fields.at("n")));
    EXPECT_EQ(R"({"k":[1,"x"]})", std::get<std::string>(record.fields.at("o")));
    EXPECT_EQ(0u, record.fields.count("tag"));

    rapidjson::Document array;
    array.Parse("[1,2]");
    StructuredRecord none;
    EXPECT_FALSE(fromJson(none, array));
}

TEST(StructuredRecordTest, RoundTripKeepsValues) {
    StructuredRecord record{"rt",
                            {{"u", 4000000000u},
                             {"i", -7},
                             {"ll", -9000000000LL},
                             {"ull", 18000000000000000000ULL},
                             {"d", 2.5},
                             {"s", std::string("quote \" and \\ slash")}}};
    std::string json;
    ASSERT_TRUE(toJsonString(record, json));
    const auto back = parse(json);
    EXPECT_EQ(record.tag, back.tag);
    EXPECT_EQ(record.fields, back.fields);
}

}  // namespace
