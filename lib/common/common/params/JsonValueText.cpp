#include "common/params/JsonValueText.h"

#include <charconv>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

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
            std::string text;
            return writePrettyJson(value, text) ? text : "(invalid)";
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
