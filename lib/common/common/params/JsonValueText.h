#pragma once

#include <map>
#include <string>

#include <rapidjson/document.h>
#include <rapidjson/reader.h>

namespace common {

// How parameter JSON is parsed: strictly (no comments, no trailing commas,
// nothing after the value), with every number read to its exact value.
inline constexpr unsigned kParamsJsonParseFlags =
    rapidjson::kParseDefaultFlags | rapidjson::kParseFullPrecisionFlag;

// A JSON value shown as parameter text: null as empty text, booleans as
// "true" and "false", strings unchanged, objects and arrays as compact JSON
// (layers make this text once, when they read the value), numbers in decimal
// (see numberToText).
std::string jsonValueToText(const rapidjson::Value& value);

// The text of every member of `object` whose value is an object or an array,
// by key: made once, so that reading such a value costs no serialisation.
std::map<std::string, std::string> containerTexts(const rapidjson::Value& object);

// A double in the shortest form that reads back as the same double ("0.1",
// "2.5", "1e+20", "100").
std::string numberToText(double number);

// Serialises `value` pretty-printed with four-space indentation into `text`.
// False when the value cannot be written as JSON (a non-finite number); the
// text is then unusable.
bool writePrettyJson(const rapidjson::Value& value, std::string& text);

}  // namespace common
