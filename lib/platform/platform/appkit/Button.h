#pragma once

#include <functional>
#include <string>

namespace platform::appkit {

// A push button with a title. A click on an enabled button sends its action
// with the button as the sender. A change is drawn when its window displays.
class Button {
public:
    using Action = std::function<void(Button* sender)>;

    void setTitle(const std::string& title);
    const std::string& title() const { return _title; }

    void setEnabled(bool enabled);
    bool isEnabled() const { return _enabled; }

    void setAction(Action action) { _action = std::move(action); }

    // What a click does: sends the action when the button is enabled. True
    // when it was sent.
    bool performClick();

    bool needsDisplay() const { return _needsDisplay; }
    void setNeedsDisplay(bool needsDisplay) { _needsDisplay = needsDisplay; }

private:
    std::string _title = "Button";
    bool _enabled = true;
    Action _action;
    bool _needsDisplay = false;
};

}  // namespace platform::appkit
