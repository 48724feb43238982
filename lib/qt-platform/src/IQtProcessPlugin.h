#pragma once

// The child-process side of the Qt door.
class IQtProcessPlugin {
public:
    virtual ~IQtProcessPlugin() = default;
};
