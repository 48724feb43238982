#include "common/logging/StructuredRecord.h"

#include <cmath>
#include <sstream>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace common {

namespace {

void floatingToJson(double number, rapidjson::Value& target) {
    if (std::isnan(number)) {
        target.SetString(rapidjson::StringRef("nan"));
    } else if (std::isinf(number)) {
        target.SetString(rapidjson::StringRef(number > 0 ? "inf" : "-inf"));
    } else {
        target.SetDouble(number);
    }
}

std::string jsonText(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

// Strings keep their content; any other kind of value keeps its JSON text.
std::string textOf(const rapidjson::Value& value) {
    if (value.IsString()) {
        return std::string(value.GetString(), value.GetStringLength());
    }
    return jsonText(value);
}

}  // namespace

void valueToJson(const StructuredRecord::Value& value, rapidjson::Value& target) {
    std::visit(
        [&target](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, unsigned int>) {
                target.SetUint(v);
            } else if constexpr (std::is_same_v<T, int>) {
                target.SetInt(v);
            } else if constexpr (std::is_same_v<T, long long>) {
                target.SetInt64(v);
            } else if constexpr (std::is_same_v<T, unsigned long long>) {
                target.SetUint64(v);
            } else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
                floatingToJson(static_cast<double>(v), target);
            } else {
                target.SetString(rapidjson::StringRef(v.data(), v.size()));
            }
        },
        value);
}

bool toJson(const StructuredRecord& record, rapidjson::Value& target,
            rapidjson::Value::AllocatorType& allocator) {
    target.SetObject();
    target.AddMember(rapidjson::StringRef("tag"),
                     rapidjson::Value(rapidjson::StringRef(record.tag.data(), record.tag.size())),
                     allocator);
    for (const auto& [key, value] : record.fields) {
        rapidjson::Value member;
        valueToJson(value, member);
        target.AddMember(rapidjson::Value(rapidjson::StringRef(key.data(), key.size())), member,
                         allocator);
    }
    return true;
}

bool toJsonString(const StructuredRecord& record, std::string& out) {
    rapidjson::Document document;
    toJson(record, document, document.GetAllocator());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    if (!document.Accept(writer)) {
        return false;
    }
    out.assign(buffer.GetString(), buffer.GetSize());
    return true;
}

bool fromJson(StructuredRecord& record, const rapidjson::Value& source) {
    if (!source.IsObject()) {
        return false;
    }
    for (auto it = source.MemberBegin(); it != source.MemberEnd(); ++it) {
        const std::string name(it->name.GetString(), it->name.GetStringLength());
        const rapidjson::Value& value = it->value;
        if (name == "tag") {
            record.tag = textOf(value);
            continue;
        }
        StructuredRecord::Value field;
        if (value.IsUint()) {
            field = value.GetUint();
        } else if (value.IsInt()) {
            field = value.GetInt();
        } else if (value.IsUint64()) {
            field = static_cast<unsigned long long>(value.GetUint64());
        } else if (value.IsInt64()) {
            field = static_cast<long long>(value.GetInt64());
        } else if (value.IsNumber()) {
            field = value.GetDouble();
        } else {
            field = textOf(value);
        }
        record.fields[name] = std::move(field);
    }
    return true;
}

std::string valueToString(const StructuredRecord::Value& value) {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return v;
            } else {
                std::ostringstream stream;
                stream << v;
                return stream.str();
            }
        },
        value);
}

std::string toString(const StructuredRecord& record) {
    std::string text = "tag=" + record.tag;
    for (const auto& [key, value] : record.fields) {
        text += ", ";
        text += key;
        text += "=\"";
        text += valueToString(value);
        text += '"';
    }
    return text;
}

}  // namespace common
