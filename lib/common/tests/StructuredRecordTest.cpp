#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <rapidjson/document.h>

#include "common/logging/StructuredRecord.h"

using namespace common;

namespace {

StructuredRecord parse(const std::string& json) {
    rapidjson::Document document;
    document.Parse(json.c_str());
    EXPECT_FALSE(document.HasParseError()) << json;
    StructuredRecord record;
    EXPECT_TRUE(fromJson(record, document));
    return record;
}

TEST(StructuredRecordTest, WritesTagAndFieldsInKeyOrder) {
    StructuredRecord bare{"websocket-connected", {}};
    std::string json;
    ASSERT_TRUE(toJsonString(bare, json));
    EXPECT_EQ(R"({"tag":"websocket-connected"})", json);
    EXPECT_EQ("tag=websocket-connected", toString(bare));

    StructuredRecord record{"r", {{"b", -2}, {"a", std::string("x")}}};
    ASSERT_TRUE(toJsonString(record, json));
    EXPECT_EQ(R"({"tag":"r","a":"x","b":-2})", json);
    EXPECT_EQ(R"(tag=r, a="x", b="-2")", toString(record));

    StructuredRecord empty{"", {}};
    ASSERT_TRUE(toJsonString(empty, json));
    EXPECT_EQ(R"({"tag":""})", json);
}

TEST(StructuredRecordTest, FloatIsWidenedInJsonAndShortInText) {
    StructuredRecord record{"f", {{"v", 0.1f}}};
    std::string json;
    ASSERT_TRUE(toJsonString(record, json));
    EXPECT_EQ(R"({"tag":"f","v":0.10000000149011612})", json);
    EXPECT_EQ(R"(tag=f, v="0.1")", toString(record));
    StructuredRecord large{"d", {{"v", 1234567.0}, {"w", 0.00001}}};
    EXPECT_EQ(R"(tag=d, v="1.23457e+06", w="1e-05")", toString(large));
}

TEST(StructuredRecordTest, ReadsNumbersIntoTheNarrowestAlternative) {
    const auto record =
        parse(R"({"tag":"t","a":5,"b":-5,"c":5000000000,"d":-5000000000,"e":1.5,"f":"s"})");
    EXPECT_EQ("t", record.tag);
    EXPECT_EQ(0u, record.fields.at("a").index());
    EXPECT_EQ(1u, record.fields.at("b").index());
    EXPECT_EQ(3u, record.fields.at("c").index());
    EXPECT_EQ(2u, record.fields.at("d").index());
    EXPECT_EQ(5u, record.fields.at("e").index());
    EXPECT_EQ(6u, record.fields.at("f").index());
    EXPECT_EQ(-5000000000LL, std::get<long long>(record.fields.at("d")));
    EXPECT_EQ(0u, record.fields.count("tag"));
}

TEST(StructuredRecordTest, LastDuplicateWins) {
    const auto record = parse(R"({"tag":"t","n":1,"n":2})");
    ASSERT_EQ(1u, record.fields.size());
    EXPECT_EQ(2u, std::get<unsigned int>(record.fields.at("n")));
}

TEST(StructuredRecordTest, NonStringValuesKeepTheirJsonText) {
    const auto record = parse(R"({"tag":true,"b":false,"n":null,"a":[1,"x"],"o":{"k":1}})");
    EXPECT_EQ("true", record.tag);
    EXPECT_EQ("false", std::get<std::string>(record.fields.at("b")));
    EXPECT_EQ("null", std::get<std::string>(record.fields.at("n")));
    EXPECT_EQ(R"([1,"x"])", std::get<std::string>(record.fields.at("a")));
    EXPECT_EQ(R"({"k":1})", std::get<std::string>(record.fields.at("o")));
}

TEST(StructuredRecordTest, NonFiniteNumbersKeepTheDocumentValid) {
    StructuredRecord record{"m",
                            {{"a", std::numeric_limits<double>::quiet_NaN()},
                             {"b", std::numeric_limits<double>::infinity()},
                             {"c", -std::numeric_limits<float>::infinity()},
                             {"d", 1}}};
    std::string json;
    ASSERT_TRUE(toJsonString(record, json));
    EXPECT_EQ(R"({"tag":"m","a":"nan","b":"inf","c":"-inf","d":1})", json);
    rapidjson::Document document;
    document.Parse(json.c_str());
    EXPECT_FALSE(document.HasParseError());
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
    EXPECT_EQ(4000000000u, std::get<unsigned int>(back.fields.at("u")));
    EXPECT_EQ(-7, std::get<int>(back.fields.at("i")));
    EXPECT_EQ(-9000000000LL, std::get<long long>(back.fields.at("ll")));
    EXPECT_EQ(18000000000000000000ULL, std::get<unsigned long long>(back.fields.at("ull")));
    EXPECT_DOUBLE_EQ(2.5, std::get<double>(back.fields.at("d")));
    EXPECT_EQ("quote \" and \\ slash", std::get<std::string>(back.fields.at("s")));
}

TEST(StructuredRecordTest, RejectsNonObjectRoot) {
    rapidjson::Document document;
    document.Parse("[1,2]");
    StructuredRecord record;
    EXPECT_FALSE(fromJson(record, document));
}

}  // namespace
