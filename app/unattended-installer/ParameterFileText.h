#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::unattended {

// The text of a parameter file "unattended.json" as the install reads and
// changes it: one JSON object, read strictly (no comments, no trailing
// commas, nothing after the object, at most kMaxJsonNesting levels deep; a
// UTF-8 byte-order mark is skipped; a number is taken as JSON writes it,
// whatever its size, never converted), its members found where they stand in
// the text. A member's value is changed by putting new text in the place of
// its old text: everything else, numbers and layout included, stays byte
// for byte as it was.
class ParameterFileText {
public:
    explicit ParameterFileText(std::string text);

    // Why the text is not one JSON object; empty when it is.
    const std::string& problem() const { return problem_; }

    // The JSON text of the first member `key` of the object, exactly as it
    // is written; none when there is no such member or the text has a
    // problem.
    std::optional<std::string> valueText(const std::string& key) const;

    // How many members of the object are named `key`.
    std::size_t count(const std::string& key) const;

    // The text with `valueText` (JSON text) as the value of every member
    // `key` of the object, or, when there is none, a member `key` added
    // after the last one on a line of its own. `key` is written as it is:
    // it must need no escape. Only for a text without a problem.
    std::string withValue(const std::string& key, const std::string& valueText) const;

private:
    // A member of the object: its name, read, and where its value lies.
    struct Member {
        std::string name;
        std::size_t valueBegin = 0;
        std::size_t valueEnd = 0;
    };

    void read();

    std::string text_;
    std::string problem_;
    std::vector<Member> members_;
    // Where the object's braces stand.
    std::size_t open_ = 0;
    std::size_t close_ = 0;
};

}  // namespace quorvane::unattended
