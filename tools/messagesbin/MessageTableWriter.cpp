#include "MessageTableWriter.h"

#include <lzf.h>

#include <algorithm>
#include <map>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

namespace quorvane::messagesbin {

namespace {

// The highest message number the source may use.
constexpr unsigned long kMaxMessageId = 65535;

void appendUint32(std::vector<unsigned char>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<unsigned char>((value >> shift) & 0xFFu));
    }
}

void appendText(std::vector<unsigned char>& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back('\0');
}

bool parseId(const std::string& name, std::size_t& id) {
    if (name.empty() || name.size() > 5 ||
        !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const unsigned long value = std::stoul(name);
    if (value > kMaxMessageId) {
        return false;
    }
    id = value;
    return true;
}

}  // namespace

std::vector<unsigned char> serializeTable(const MessageTable& table) {
    std::vector<unsigned char> out;
    appendUint32(out, static_cast<std::uint32_t>(table.languages.size()));
    for (const auto& code : table.languages) {
        appendText(out, code);
    }
    appendUint32(out, 0);
    appendUint32(out, static_cast<std::uint32_t>(table.defaults.size()));
    for (const auto& text : table.defaults) {
        appendText(out, text);
    }
    for (std::size_t language = 0; language < table.languages.size(); ++language) {
        appendUint32(out, 0);
        appendUint32(out, 0);
        for (std::size_t id = 0; id < table.defaults.size(); ++id) {
            const bool present = language < table.texts.size() && id < table.texts[language].size();
            appendText(out, present ? table.texts[language][id] : std::string());
        }
    }
    return out;
}

std::vector<unsigned char> packTable(const std::vector<unsigned char>& table) {
    std::vector<unsigned char> out;
    appendUint32(out, static_cast<std::uint32_t>(table.size()));
    if (table.empty()) {
        return out;
    }
    // LZF never grows its input by more than one byte in 32, plus one.
    std::vector<unsigned char> compressed(table.size() + table.size() / 16 + 64);
    const unsigned int length =
        ::lzf_compress(table.data(), static_cast<unsigned int>(table.size()), compressed.data(),
                       static_cast<unsigned int>(compressed.size()));
    out.insert(out.end(), compressed.begin(), compressed.begin() + length);
    return out;
}

bool readMessageSource(const std::string& json, MessageTable& table, std::string& error) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseValidateEncodingFlag>(json.data(), json.size());
    if (document.HasParseError()) {
        error = std::string("not valid JSON: ") +
                rapidjson::GetParseError_En(document.GetParseError()) + " at offset " +
                std::to_string(document.GetErrorOffset());
        return false;
    }
    if (!document.IsObject() || !document.HasMember("languages") ||
        !document["languages"].IsArray() || !document.HasMember("default") ||
        !document["default"].IsString() || !document.HasMember("messages") ||
        !document["messages"].IsObject()) {
        error = "expected an object with \"languages\", \"default\" and \"messages\"";
        return false;
    }
    MessageTable result;
    for (const auto& code : document["languages"].GetArray()) {
        if (!code.IsString() || code.GetStringLength() == 0 ||
            std::string(code.GetString(), code.GetStringLength()).find('\0') != std::string::npos) {
            error = "every language must be a non-empty text";
            return false;
        }
        const std::string name(code.GetString(), code.GetStringLength());
        if (std::find(result.languages.begin(), result.languages.end(), name) !=
            result.languages.end()) {
            error = "language \"" + name + "\" is listed twice";
            return false;
        }
        result.languages.push_back(name);
    }
    const std::string defaultLanguage = document["default"].GetString();
    const auto defaultIndex = static_cast<std::size_t>(
        std::find(result.languages.begin(), result.languages.end(), defaultLanguage) -
        result.languages.begin());
    if (defaultIndex == result.languages.size()) {
        error = "the default language \"" + defaultLanguage + "\" is not listed";
        return false;
    }

    std::map<std::size_t, std::vector<std::string>> messages;
    for (const auto& member : document["messages"].GetObject()) {
        const std::string name(member.name.GetString(), member.name.GetStringLength());
        std::size_t id = 0;
        if (!parseId(name, id)) {
            error = "message number \"" + name + "\" is not a number from 0 to " +
                    std::to_string(kMaxMessageId);
            return false;
        }
        if (messages.count(id) != 0) {
            error = "message " + name + " is given twice";
            return false;
        }
        if (!member.value.IsObject()) {
            error = "message " + name + " is not an object";
            return false;
        }
        std::vector<std::string> texts(result.languages.size());
        std::vector<bool> given(result.languages.size(), false);
        for (const auto& entry : member.value.GetObject()) {
            const std::string key(entry.name.GetString(), entry.name.GetStringLength());
            if (key == "note") {
                continue;
            }
            const auto index = static_cast<std::size_t>(
                std::find(result.languages.begin(), result.languages.end(), key) -
                result.languages.begin());
            if (index == result.languages.size()) {
                error = "message " + name + " has a text in the unlisted language \"" + key + "\"";
                return false;
            }
            if (!entry.value.IsString()) {
                error = "message " + name + " in \"" + key + "\" is not a text";
                return false;
            }
            std::string text(entry.value.GetString(), entry.value.GetStringLength());
            if (text.find('\0') != std::string::npos) {
                error = "message " + name + " in \"" + key + "\" holds a NUL character";
                return false;
            }
            texts[index] = std::move(text);
            given[index] = true;
        }
        for (std::size_t index = 0; index < given.size(); ++index) {
            if (!given[index]) {
                error = "message " + name + " has no text in \"" + result.languages[index] + "\"";
                return false;
            }
        }
        messages.emplace(id, std::move(texts));
    }

    const std::size_t count = messages.empty() ? 0 : messages.rbegin()->first + 1;
    result.defaults.assign(count, std::string());
    result.texts.assign(result.languages.size(), std::vector<std::string>(count));
    for (const auto& [id, texts] : messages) {
        result.defaults[id] = texts[defaultIndex];
        for (std::size_t language = 0; language < texts.size(); ++language) {
            result.texts[language][id] = texts[language];
        }
    }
    table = std::move(result);
    return true;
}

}  // namespace quorvane::messagesbin
