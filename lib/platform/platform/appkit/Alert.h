#pragma once

#include <string>
#include <vector>

namespace platform::appkit {

// A modal alert, drawn as one line of text on standard error:
//   alert: "<message>" "<informative>" ["<button>", ...]
// When standard input is a terminal, runModal waits until the user has
// dismissed it: a line on standard input, its end, or SIGINT, SIGTERM or
// SIGHUP; otherwise nobody can answer and it returns at once.
class Alert {
public:
    enum class Style { warning, informational, critical };

    // What runModal returns for the first button; the next ones follow.
    static constexpr int kFirstButtonReturn = 1000;

    void setMessageText(const std::string& text) { _message = text; }
    void setInformativeText(const std::string& text) { _informative = text; }
    void setAlertStyle(Style style) { _style = style; }
    Style alertStyle() const { return _style; }

    // Buttons, from the right; an alert without any shows "OK".
    void addButton(const std::string& title) { _buttons.push_back(title); }

    // Shows the alert and returns the button that dismissed it.
    int runModal();

private:
    std::string _message;
    std::string _informative;
    Style _style = Style::warning;
    std::vector<std::string> _buttons;
};

}  // namespace platform::appkit
