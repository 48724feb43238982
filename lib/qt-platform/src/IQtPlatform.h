#pragma once

#include "IQtSocketPlugin.h"
#include "IpcQtSocketPlugin.h"

// The program's door to Qt, as the application framework is handed it; the
// inter-process layer gets its IIpcQtSocketPlugin side only.
class IQtPlatform : public IQtSocketPlugin, public IpcQtSocketPlugin {
public:
    ~IQtPlatform() override = default;
};
