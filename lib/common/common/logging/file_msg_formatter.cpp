#include "common/logging/file_msg_formatter.h"

#include <cstring>

#include "common/logging/LogFormatting.h"
#include "common/logging/StructuredRecord.h"

namespace common {

namespace {

// Control characters written as escapes, so that one record stays one line.
void appendEscaped(const std::string& text, spdlog::memory_buf_t& dest) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7F) {
            continue;
        }
        dest.append(text.data() + from, text.data() + i);
        from = i + 1;
        const char named = c == '\n' ? 'n' : c == '\r' ? 'r' : c == '\t' ? 't' : '\0';
        const char escape[] = {'\\', named ? named : 'x', kHex[c >> 4], kHex[c & 0xF]};
        dest.append(escape, escape + (named ? 2 : 4));
    }
    dest.append(text.data() + from, text.data() + text.size());
}

// Whether the text is written as it is: no zero byte, no control character,
// no backslash to remove and no brace (so neither a structured record nor a
// sensitive span).
bool isPlain(const char* data, std::size_t size) {
    // No early exit: the compiler turns this into vector compares.
    unsigned char special = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        special |= static_cast<unsigned char>((c < 0x20) | (c == 0x7F) | (c == '\\') | (c == '{'));
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
