#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ILocalSocket.h"
#include "ILocalSocketServer.h"

// The local-socket side of the Qt door: local sockets and servers. Releasing
// a handle drops the object's handler at once and deletes it on the Qt thread.
class IQtSocketPlugin {
public:
    virtual ~IQtSocketPlugin() = default;
    virtual std::unique_ptr<ILocalSocket, std::function<void(ILocalSocket*)>> createLocalSocket()
        const = 0;
    virtual std::unique_ptr<ILocalSocketServer, std::function<void(ILocalSocketServer*)>>
    createLocalSocketServer(const std::string& name) const = 0;
};
