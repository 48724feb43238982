#pragma once

#include <string>

namespace platform::appkit {

// A line of text in a window. A change is drawn when its window displays.
class TextField {
public:
    void setStringValue(const std::string& value);
    const std::string& stringValue() const { return _value; }

    bool needsDisplay() const { return _needsDisplay; }
    void setNeedsDisplay(bool needsDisplay) { _needsDisplay = needsDisplay; }

private:
    std::string _value;
    bool _needsDisplay = false;
};

}  // namespace platform::appkit
