#include "common/params/ParamsDump.h"

#include "common/params/IParams.h"

namespace common {

namespace {

// A backslash and every control character written as an escape, so that a
// value can neither forge a line nor reach a terminal as a control sequence.
void appendEscaped(const std::string& text, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // A C1 control character (U+0080 to U+009F) in UTF-8.
            out += "\\u00";
            out += kHex[next >> 4];
            out += kHex[next & 0xF];
            ++i;
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
}

}  // namespace

std::string dumpParams(const IParams& layer) {
    std::string text;
    for (const auto& key : layer.keys()) {
        appendEscaped(key, text);
        text += ": ";
        appendEscaped(layer.getValue(key, ""), text);
        text += "\n";
    }
    return text;
}

}  // namespace common
