#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "InstallerState.h"
#include "MessageTableWriter.h"

namespace installertest {

// The texts of the message table's readable source, from which the bundle's
// "messages.bin" is built, and the window lines they make.
class MessageTexts {
public:
    // Reads the source; throws when it cannot.
    MessageTexts();

    // Text `id` in `language` (the default text where the language has none),
    // with `parameter` in place of "${0}".
    std::string text(std::size_t id, const std::string& language,
                     const std::string& parameter = "") const;

    // The lines the window draws for `state`.
    std::vector<std::string> windowLines(quorvane::unattended::InstallerState state,
                                         const std::string& language) const;

    // The alert shown without a public key.
    std::string alertLine(const std::string& language) const;

    quorvane::messagesbin::MessageTable& table() { return table_; }

private:
    quorvane::messagesbin::MessageTable table_;
};

// The lines of all groups in order, each ended by a line feed.
std::string joinLines(const std::vector<std::vector<std::string>>& groups);

}  // namespace installertest
