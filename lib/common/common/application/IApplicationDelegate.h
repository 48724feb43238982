#pragma once

namespace common {

// The listener of an application (its Delegate).
class IApplicationDelegate {
public:
    virtual ~IApplicationDelegate() = default;
};

}  // namespace common
