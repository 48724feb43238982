#include "common/params/JsonValueText.h"

#include <charconv>
#include <set>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace common {

std::string numberToText(double number) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    return std::string(buffer, result.ptr);
}

bool writePrettyJson(const rapidjson::Value& value, std::string& text) {
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    writer.SetIndent(' ', 4);
    const bool written = value.Accept(writer) && writer.IsComplete();
    text.assign(buffer.GetString(), buffer.GetSize());
    return written;
}

std::map<std::string, std::string> containerTexts(const rapidjson::Value& object) {
    std::map<std::string, std::string> texts;
    std::set<std::string> seen;  // a repeated key reads as its first member
    for (const auto& member : object.GetObject()) {
        std::string name(member.name.GetString(), member.name.GetStringLength());
        if (seen.insert(name).second && (member.value.IsObject() || member.value.IsArray())) {
            texts.emplace(std::move(name), jsonValueToText(member.value));
        }
    }
    return texts;
}

std::string jsonValueToText(const rapidjson::Value& value) {
    switch (value.GetType()) {
        case rapidjson::kNullType:
            return {};
        case rapidjson::kFalseType:
            return "false";
        case rapidjson::kTrueType:
            return "true";
        case rapidjson::kObjectType:
        case rapidjson::kArrayType: {
            rapidjson::StringBuffer buffer;
            rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
            if (!value.Accept(writer) || !writer.IsComplete()) {
                return "(invalid)";
            }
            return std::string(buffer.GetString(), buffer.GetSize());
        }
        case rapidjson::kStringType:
            return std::string(value.GetString(), value.GetStringLength());
        case rapidjson::kNumberType:
            if (value.IsInt()) {
                return std::to_string(value.GetInt());
            }
            if (value.IsUint()) {
                return std::to_string(value.GetUint());
            }
            if (value.IsInt64()) {
                return std::to_string(value.GetInt64());
            }
            if (value.IsUint64()) {
                return std::to_string(value.GetUint64());
            }
            return numberToText(value.GetDouble());
    }
    return "(invalid)";
}

}  // namespace common
