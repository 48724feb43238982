#include "platform/appkit/TextField.h"

namespace platform::appkit {

void TextField::setStringValue(const std::string& value) {
    _value = value;
    _needsDisplay = true;
}

}  // namespace platform::appkit
