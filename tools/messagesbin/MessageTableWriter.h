#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane::messagesbin {

// The content of "messages.bin" before it is packed: the language codes, the
// default text of each message, and each language's texts (as many as there
// are default texts; an empty one stands for the default).
struct MessageTable {
    std::vector<std::string> languages;
    std::vector<std::string> defaults;
    std::vector<std::vector<std::string>> texts;  // one list per language
};

// The unpacked table: little-endian 32-bit counts, NUL-terminated UTF-8 texts,
// zeros in the reserved fields.
std::vector<unsigned char> serializeTable(const MessageTable& table);

// The file image: the table's size as a little-endian 32-bit number, then the
// table compressed with LZF.
std::vector<unsigned char> packTable(const std::vector<unsigned char>& table);

// Reads the readable source of the table, a JSON object:
//   {"languages": ["en", "fr", ...], "default": "en",
//    "messages": {"30": {"note": "...", "en": "...", "fr": "...", ...}, ...}}
// Every message gives a text in every language; "note" is for translators and
// is not written. Numbers missing between messages get empty texts. Returns
// false with a reason in `error` when the source is not such an object.
bool readMessageSource(const std::string& json, MessageTable& table, std::string& error);

}  // namespace quorvane::messagesbin
