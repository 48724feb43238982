#include "common/logging/JsonLogRecord.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace common {

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at `i`, or 0 when there is none.
std::size_t sequenceLength(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;  // no overlong forms
        } else if (lead == 0xED) {
            high = 0x9F;  // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;  // nothing above U+10FFFF
        }
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    if (byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

// The text itself when it is UTF-8, else a copy with every byte that starts
// no well-formed sequence replaced by U+FFFD.
std::string validUtf8(const std::string& text) {
    std::string out;
    bool repaired = false;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = sequenceLength(text, i);
        if (length == 0) {
            if (!repaired) {
                out.assign(text, 0, i);
                repaired = true;
            }
            out += kReplacement;
            ++i;
            continue;
        }
        if (repaired) {
            out.append(text, i, length);
        }
        i += length;
    }
    return repaired ? out : text;
}

rapidjson::Value stringValue(const std::string& text, rapidjson::Value::AllocatorType& allocator) {
    const std::string valid = validUtf8(text);
    return rapidjson::Value(valid.data(), static_cast<rapidjson::SizeType>(valid.size()),
                            allocator);
}

}  // namespace

bool writeJsonLogRecord(const JsonLogRecord& record, rapidjson::Value& target,
                        rapidjson::Value::AllocatorType& allocator) {
    target.SetObject();
    const auto add = [&](const char* name, const std::string& value) {
        target.AddMember(rapidjson::StringRef(name), stringValue(value, allocator), allocator);
    };
    add("time", record.time);
    add("processId", record.processId);
    add("threadId", record.threadId);
    add("level", record.level);
    add("app", record.app);
    add("facility", record.facility);
    add("message", record.message);
    add("sessionId", record.sessionId);
    if (record.tag.empty()) {
        return true;
    }
    add("tag", record.tag);
    for (const auto& [key, value] : record.fields) {
        rapidjson::Value member;
        if (const auto* text = std::get_if<std::string>(&value)) {
            member = stringValue(*text, allocator);
        } else {
            valueToJson(value, member);
        }
        target.AddMember(stringValue(key, allocator), member, allocator);
    }
    return true;
}

std::string toJsonText(const JsonLogRecord& record) {
    rapidjson::Document document;
    writeJsonLogRecord(record, document, document.GetAllocator());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace common
