#pragma once

// The local-socket side of the Qt door: local sockets and servers.
class IQtSocketPlugin {
public:
    virtual ~IQtSocketPlugin() = default;
};
