#pragma once

#include <spdlog/pattern_formatter.h>

namespace common {

// The '{' pattern flag of the JSON sinks: writes the whole record as one
// compact JSON object (see JsonLogRecord). A structured record (a message
// that is compact JSON) gives its tag and typed fields; the message is
// sanitised and sensitive values are masked as in the text files.
class json_msg_flag : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& msg, const std::tm& time,
                spdlog::memory_buf_t& dest) override;
    std::unique_ptr<spdlog::custom_flag_formatter> clone() const override;
};

}  // namespace common
