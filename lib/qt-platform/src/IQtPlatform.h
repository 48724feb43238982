#pragma once

#include "IQtSocketPlugin.h"

// The program's door to Qt, as the application framework is handed it.
class IQtPlatform : public IQtSocketPlugin {
public:
    ~IQtPlatform() override = default;
};
