#pragma once

#include <cstddef>
#include <string>
#include <typeinfo>
#include <utility>
#include <variant>

#include <rapidjson/document.h>

#include "interprocess/JsonKey.h"

namespace common {
class ILogger;
}

namespace interprocess {

// The tagged JSON form of a variant of messages: {key: {fields..., "$": tag}},
// every field a string member, the tag (the type's unqualified class name)
// last. A reader also takes the fields from a member "$v" when the message
// object has one.

namespace json {

// Longest text a reader accepts; no record of the link is larger.
inline constexpr std::size_t kMaxTextSize = 16384;
// Deepest nesting of arrays and objects a reader accepts.
inline constexpr std::size_t kMaxDepth = 16;

// The unqualified class name of a type, as its tag.
std::string tagOf(const std::type_info& type);

template <typename T>
const std::string& tag() {
    static const std::string value = tagOf(typeid(T));
    return value;
}

// Parses `text` into `document` within the bounds above. A failure is logged
// as "Unable to convert json: %s, error: %s" on `logger`, or on the channel
// "json_deserialize" when none is given.
bool parse(const std::string& text, rapidjson::Document& document, common::ILogger* logger);

// Writes `document` as compact JSON text.
std::string write(const rapidjson::Document& document);

template <typename Message>
bool readMessage(const rapidjson::Value& body, Message& message) {
    bool ok = true;
    Message::fields(message, [&](const char* name, std::string& field) {
        const auto member = body.FindMember(name);
        if (!ok || member == body.MemberEnd()) {
            return;
        }
        if (!member->value.IsString()) {
            ok = false;
            return;
        }
        field.assign(member->value.GetString(), member->value.GetStringLength());
    });
    return ok;
}

template <typename Variant, std::size_t Index = 0>
bool readAlternative(const std::string& tag, const rapidjson::Value& body, Variant& message) {
    if constexpr (Index == std::variant_size_v<Variant>) {
        return false;
    } else {
        using Alternative = std::variant_alternative_t<Index, Variant>;
        if (tag != json::tag<Alternative>()) {
            return readAlternative<Variant, Index + 1>(tag, body, message);
        }
        Alternative read{};
        if (!readMessage(body, read)) {
            return false;
        }
        message = std::move(read);
        return true;
    }
}

}  // namespace json

// Writes `message` under its variant's key; replaces `text`. Does not fail.
template <typename Variant>
bool json_serialize(const Variant& message, std::string& text) {
    rapidjson::Document document(rapidjson::kObjectType);
    auto& allocator = document.GetAllocator();
    rapidjson::Value body(rapidjson::kObjectType);
    std::visit(
        [&](const auto& alternative) {
            using Alternative = std::decay_t<decltype(alternative)>;
            Alternative::fields(alternative, [&](const char* name, const std::string& field) {
                body.AddMember(rapidjson::StringRef(name),
                               rapidjson::Value(field.data(),
                                                static_cast<rapidjson::SizeType>(field.size()),
                                                allocator),
                               allocator);
            });
            const std::string& tag = json::tag<Alternative>();
            body.AddMember(
                "$",
                rapidjson::Value(tag.data(), static_cast<rapidjson::SizeType>(tag.size()), allocator),
                allocator);
        },
        message);
    document.AddMember(rapidjson::StringRef(JsonKey<Variant>::value), body, allocator);
    text = json::write(document);
    return true;
}

// Reads a text written by json_serialize (or with the fields under "$v").
// False, with `message` unchanged, for a text that is not JSON, is too large
// or too deep, has no object under the variant's key, no string tag "$" or an
// unknown one, or a field that is not a string. A missing field stays empty.
template <typename Variant>
bool json_deserialize(const std::string& text, Variant& message,
                      common::ILogger* logger = nullptr) {
    rapidjson::Document document;
    if (!json::parse(text, document, logger) || !document.IsObject()) {
        return false;
    }
    const auto command = document.FindMember(JsonKey<Variant>::value);
    if (command == document.MemberEnd() || !command->value.IsObject()) {
        return false;
    }
    const auto& object = command->value;
    const auto tag = object.FindMember("$");
    if (tag == object.MemberEnd() || !tag->value.IsString()) {
        return false;
    }
    const rapidjson::Value* body = &object;
    const auto nested = object.FindMember("$v");
    if (nested != object.MemberEnd()) {
        if (!nested->value.IsObject()) {
            return false;
        }
        body = &nested->value;
    }
    const std::string tagText(tag->value.GetString(), tag->value.GetStringLength());
    return json::readAlternative(tagText, *body, message);
}

}  // namespace interprocess
