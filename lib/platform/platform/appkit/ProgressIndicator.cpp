#include "platform/appkit/ProgressIndicator.h"

namespace platform::appkit {

void ProgressIndicator::setMinValue(double value) {
    _min = value;
    _needsDisplay = true;
}

void ProgressIndicator::setMaxValue(double value) {
    _max = value;
    _needsDisplay = true;
}

void ProgressIndicator::setDoubleValue(double value) {
    _value = value;
    _needsDisplay = true;
}

}  // namespace platform::appkit
