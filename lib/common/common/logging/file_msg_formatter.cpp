#include "common/logging/file_msg_formatter.h"

#include <cstring>

#include "common/logging/LogFormatting.h"
#include "common/logging/StructuredRecord.h"

namespace common {

void file_msg_formatter::format(const spdlog::details::log_msg& msg, const std::tm& /*time*/,
                                spdlog::memory_buf_t& dest) {
    SinkFormattingScope scope;
    const char* data = msg.payload.data();
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
    dest.append(text.data(), text.data() + text.size());
}

std::unique_ptr<spdlog::custom_flag_formatter> file_msg_formatter::clone() const {
    return std::make_unique<file_msg_formatter>();
}

}  // namespace common
