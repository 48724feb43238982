#include "MessageTexts.h"

#include <stdexcept>

#include "support/ChildProcess.h"

namespace installertest {

using quorvane::unattended::InstallerState;

MessageTexts::MessageTexts() {
    std::string error;
    if (!quorvane::messagesbin::readMessageSource(testsupport::readFile(QUORVANE_MESSAGES_SOURCE),
                                                  table_, error)) {
        throw std::runtime_error("cannot read the message source: " + error);
    }
}

std::string MessageTexts::text(std::size_t id, const std::string& language,
                               const std::string& parameter) const {
    std::string result = id < table_.defaults.size() ? table_.defaults[id] : "";
    for (std::size_t i = 0; i < table_.languages.size(); ++i) {
        if (table_.languages[i] == language && id < table_.texts[i].size() &&
            !table_.texts[i][id].empty()) {
            result = table_.texts[i][id];
        }
    }
    const auto placeholder = result.find("${0}");
    if (placeholder != std::string::npos) {
        result.replace(placeholder, 4, parameter);
    }
    return result;
}

std::vector<std::string> MessageTexts::windowLines(InstallerState state,
                                                   const std::string& language) const {
    auto progress = [&](std::size_t id, int value) {
        return "window: progress \"" + text(id, language) + "\" " + std::to_string(value) + "/4";
    };
    auto button = [&](std::size_t id, bool enabled) {
        return "window: button \"" + text(id, language) + "\"" +
               (enabled ? " enabled" : " disabled");
    };
    switch (state) {
        case InstallerState::Starting:
            return {"window: title \"" + text(30, language) + "\"", progress(119, 1),
                    button(115, true)};
        case InstallerState::Downloading:
            return {progress(100, 2), button(115, true)};
        case InstallerState::Installing:
            return {progress(155, 3), button(115, false)};
        case InstallerState::Failed:
            return {progress(77, 4), button(94, true)};
        case InstallerState::Succeeded:
            return {progress(110, 4), button(94, true)};
    }
    return {};
}

std::string MessageTexts::alertLine(const std::string& language) const {
    return "alert: \"" + text(86, language, "Wexo Quandel Unattended") + "\" \"" +
           text(126, language) + "\" [\"" + text(160, language) + "\"]";
}

std::string joinLines(const std::vector<std::vector<std::string>>& groups) {
    std::string all;
    for (const auto& group : groups) {
        for (const auto& line : group) {
            all += line + "\n";
        }
    }
    return all;
}

}  // namespace installertest
