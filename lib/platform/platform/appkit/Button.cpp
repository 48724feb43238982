#include "platform/appkit/Button.h"

namespace platform::appkit {

void Button::setTitle(const std::string& title) {
    _title = title;
    _needsDisplay = true;
}

void Button::setEnabled(bool enabled) {
    _enabled = enabled;
    _needsDisplay = true;
}

bool Button::performClick() {
    if (!_enabled || !_action) {
        return false;
    }
    // The action may release the button's window: call a copy.
    const Action action = _action;
    action(this);
    return true;
}

}  // namespace platform::appkit
