#pragma once

#include <map>
#include <string>
#include <variant>

#include <rapidjson/document.h>

namespace common {

// A tagged set of named, typed values: the unit of metrics and of structured
// log records. It travels through the logging pipeline as compact JSON.
struct StructuredRecord {
    using Value =
        std::variant<unsigned int, int, long long, unsigned long long, float, double, std::string>;

    std::string tag;
    std::map<std::string, Value> fields;
};

// Makes `target` an object holding "tag" and one member per field, in key
// order. Member names and string values refer to the record's storage, so the
// record must outlive the value. Non-finite numbers are written as the strings
// "nan", "inf" and "-inf" so that the document stays valid JSON.
bool toJson(const StructuredRecord& record, rapidjson::Value& target,
            rapidjson::Value::AllocatorType& allocator);

// Compact JSON text of the record.
bool toJsonString(const StructuredRecord& record, std::string& out);

// Fills the record from the members of a JSON object: "tag" sets the tag and
// every other member becomes a field typed by what its number fits. A value
// that is neither a number nor a string is kept as its JSON text.
bool fromJson(StructuredRecord& record, const rapidjson::Value& source);

// "tag=<tag>" followed by `, key="value"` per field in key order.
std::string toString(const StructuredRecord& record);

// The text form of one value, as `toString` writes it.
std::string valueToString(const StructuredRecord::Value& value);

// Writes one value as JSON (numbers, strings; non-finite numbers as strings).
// String values are referenced, not copied.
void valueToJson(const StructuredRecord::Value& value, rapidjson::Value& target);

}  // namespace common
