#include "common/logging/file_msg_formatter.h"

#include <cstring>

#include "common/logging/LogFormatting.h"
#include "common/logging/StructuredRecord.h"

namespace common {

namespace {

// Control characters written as escapes, so that one record stays one line
// and none reaches a terminal: C0 and DEL as bytes (\x1b, \x7f), C1 as
// characters (U+0085 as \u0085), since in UTF-8 each is two bytes (0xc2 and
// 0x80 to 0x9f).
void appendEscaped(const std::string& text, spdlog::memory_buf_t& dest) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        const bool c1 = c == 0xC2 && next >= 0x80 && next <= 0x9F;
        if (c >= 0x20 && c != 0x7F && !c1) {
            continue;
        }
        dest.append(text.data() + from, text.data() + i);
        if (c1) {
            const char escape[] = {'\\', 'u', '0', '0', kHex[next >> 4], kHex[next & 0xF]};
            dest.append(escape, escape + sizeof escape);
            from = ++i + 1;
            continue;
        }
        from = i + 1;
        const char named = c == '\n' ? 'n' : c == '\r' ? 'r' : c == '\t' ? 't' : '\0';
        const char escape[] = {'\\', named ? named : 'x', kHex[c >> 4], kHex[c & 0xF]};
        dest.append(escape, escape + (named ? 2 : 4));
    }
    dest.append(text.data() + from, text.data() + text.size());
}

// Whether the text is written as it is: no zero byte, no control character
// (0xc2 may start a C1 one), no backslash to remove and no brace (so neither
// a structured record nor a sensitive span).
bool isPlain(const char* data, std::size_t size) {
    // No early exit: the compiler turns this into vector compares.
    unsigned char special = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        special |= static_cast<unsigned char>((c < 0x20) | (c == 0x7F) | (c == 0xC2) |
                                              (c == '\\') | (c == '{'));
    }
    return special == 0;
}

}  // namespace

void file_msg_formatter::format(const spdlog::details::log_msg& msg, const std::tm& /*time*/,
                                spdlog::memory_buf_t& dest) {
    const char* data = msg.payload.data();
    if (isPlain(data, msg.payload.size())) {
        dest.append(data, data + msg.payload.size());
        return;
    }
    SinkFormattingScope scope;
    const auto* zero = static_cast<const char*>(std::memchr(data, '\0', msg.payload.size()));
    std::string text(data, zero ? static_cast<std::size_t>(zero - data) : msg.payload.size());
    if (!text.empty() && text.front() == '{') {
        StructuredRecord record;
        if (json_deserialize(text, record)) {
            maskSensitiveFields(record);
            text = toString(record);
        }
    }
    sanitizeMessage(text);
    appendEscaped(text, dest);
}

std::unique_ptr<spdlog::custom_flag_formatter> file_msg_formatter::clone() const {
    return std::make_unique<file_msg_formatter>();
}

}  // namespace common
