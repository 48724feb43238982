#pragma once

namespace platform::appkit {

// A bar that shows how far a value stands between a minimum and a maximum.
// A change is drawn when its window displays.
class ProgressIndicator {
public:
    void setMinValue(double value);
    void setMaxValue(double value);
    void setDoubleValue(double value);

    double minValue() const { return _min; }
    double maxValue() const { return _max; }
    double doubleValue() const { return _value; }

    bool needsDisplay() const { return _needsDisplay; }
    void setNeedsDisplay(bool needsDisplay) { _needsDisplay = needsDisplay; }

private:
    double _min = 0.0;
    double _max = 100.0;
    double _value = 0.0;
    bool _needsDisplay = false;
};

}  // namespace platform::appkit
