#pragma once

#include <spdlog/pattern_formatter.h>

namespace common {

// The '*' pattern flag of the text and CSV log files: writes the message,
// turning a structured record (compact JSON) into its "tag=" text form,
// without backslashes, with sensitive values masked and control characters
// escaped (\n, \r, \t, \x1b, \x7f, \u0085...), so that one record is one line.
class file_msg_formatter : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& msg, const std::tm& time,
                spdlog::memory_buf_t& dest) override;
    std::unique_ptr<spdlog::custom_flag_formatter> clone() const override;
};

}  // namespace common
