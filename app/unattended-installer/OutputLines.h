#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>

namespace quorvane::unattended {

// Cuts a program's output into the lines that are logged, fed in pieces as
// they are read: the same lines whole or byte by byte, each byte looked at
// once, and never more than one line's bound held. A line ends at "\n"; one
// longer than kLongestLine bytes is cut at the last character boundary at
// or before that bound (a UTF-8 character that runs past it is left out
// whole; bytes that are no UTF-8 are cut where they stand), given marked as
// cut, and the rest of it, up to its line break, is dropped.
class OutputLines {
public:
    static constexpr std::size_t kLongestLine = 64 * 1024;

    // Gets each line without its break, `cut` when it was longer.
    using LineHandler = std::function<void(const std::string& line, bool cut)>;

    explicit OutputLines(LineHandler handler) : handler_(std::move(handler)) {}

    // The next bytes of the output.
    void feed(const char* data, std::size_t size);
    // The output has ended: a last line without a break is given too.
    void finish();

private:
    LineHandler handler_;
    std::string line_;
    // Within the rest of a line that was cut.
    bool dropping_ = false;
};

}  // namespace quorvane::unattended
