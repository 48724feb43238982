#pragma once

#include <map>
#include <string>

#include <rapidjson/document.h>

#include "common/logging/StructuredRecord.h"

namespace common {

// One log record as the JSON sinks write it.
struct JsonLogRecord {
    // Local time "YYYY-MM-DDTHH:MM:SS.mmm" followed by a line feed.
    std::string time;
    std::string processId;
    // "Main" on the thread that set up logging, else the thread's number.
    std::string threadId;
    std::string level;
    // The name of the process kind.
    std::string app;
    // The channel.
    std::string facility;
    std::string message;
    std::string sessionId;
    // Tag and fields of a structured record; empty tag for a plain message.
    std::string tag;
    std::map<std::string, StructuredRecord::Value> fields;
};

// Makes `target` an object with the members "time", "processId", "threadId",
// "level", "app", "facility", "message" and "sessionId", then, only when the
// tag is not empty, "tag" and one member per field in key order. Texts are
// copied; bytes that are not UTF-8 become U+FFFD and non-finite numbers are
// written as strings, so the object always makes valid JSON.
bool writeJsonLogRecord(const JsonLogRecord& record, rapidjson::Value& target,
                        rapidjson::Value::AllocatorType& allocator);

// The record as compact JSON text.
std::string toJsonText(const JsonLogRecord& record);

}  // namespace common
