#include "common/logging/json_msg_flag.h"

#include <cstring>
#include <iomanip>
#include <sstream>

#include "common/logging/JsonLogRecord.h"
#include "common/logging/LogFormatting.h"
#include "common/logging/Logger.h"
#include "common/logging/StructuredRecord.h"

namespace common {

namespace {

std::string timeText(const spdlog::details::log_msg& msg, const std::tm& time) {
    const auto sinceEpoch = msg.time.time_since_epoch();
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count() % 1000;
    std::ostringstream stream;
    stream << std::put_time(&time, "%Y-%m-%dT%H:%M:%S") << '.' << std::setw(3) << std::setfill('0')
           << milliseconds << '\n';
    return stream.str();
}

// The name of the process kind; a kind without a name is written as its
// number.
std::string appName(helper::ApplicationType kind) {
    if (const char* name = helper::toString(kind)) {
        return name;
    }
    return std::to_string(static_cast<std::int32_t>(kind));
}

}  // namespace

void json_msg_flag::format(const spdlog::details::log_msg& msg, const std::tm& time,
                           spdlog::memory_buf_t& dest) {
    SinkFormattingScope scope;
    const char* data = msg.payload.data();
    const auto* zero = static_cast<const char*>(std::memchr(data, '\0', msg.payload.size()));
    std::string text(data, zero ? static_cast<std::size_t>(zero - data) : msg.payload.size());

    StructuredRecord structured;
    if (!text.empty() && text.front() == '{') {
        if (json_deserialize(text, structured)) {
            maskSensitiveFields(structured);
            text = toString(structured);
        } else {
            structured = StructuredRecord{};
        }
    }
    sanitizeMessage(text);

    JsonLogRecord record;
    record.time = timeText(msg, time);
    record.processId = std::to_string(spdlog::details::os::pid());
    record.threadId =
        msg.thread_id == Logger::mainThreadId() ? "Main" : std::to_string(msg.thread_id);
    const auto level = spdlog::level::to_string_view(msg.level);
    record.level.assign(level.data(), level.size());
    record.app = appName(Logger::processKind());
    record.facility.assign(msg.logger_name.data(), msg.logger_name.size());
    record.message = std::move(text);
    record.sessionId = Logger::sessionId();
    record.tag = std::move(structured.tag);
    record.fields = std::move(structured.fields);

    const std::string json = toJsonText(record);
    dest.append(json.data(), json.data() + json.size());
}

std::unique_ptr<spdlog::custom_flag_formatter> json_msg_flag::clone() const {
    return std::make_unique<json_msg_flag>();
}

}  // namespace common
