#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "IIpcQtSocketPlugin.h"
#include "common/logging/ILogger.h"
#include "interprocess/controller/HostingLock.h"

namespace interprocess {

// The own server of the local-socket controller: it takes the lock of its
// path (HostingLock), so that of servers started at once one hosts, and the
// place at its path when the place may be taken, has the Qt platform listen
// there and waits until it does. The lock is held until the server is let
// go. One server at a time: an earlier one goes first.
class LocalSocketHost {
public:
    explicit LocalSocketHost(common::ILogger& logger) : logger_(logger) {}

    // Listens at `path`, each accepted socket going to `accepted` on the Qt
    // thread; false, logged, when the place cannot be taken or nothing
    // listens there within `wait`.
    bool host(IIpcQtSocketPlugin& qt, const std::string& path,
              IIpcQtSocketPlugin::ServerConnectCallback accepted, std::chrono::milliseconds wait);
    // Stops accepting at once; the listener closes on the Qt thread, and its
    // socket file goes with it.
    void close();
    // Lets the server go (deleted later, on the Qt thread), and its lock.
    void release() {
        server_.reset();
        lock_.reset();
    }

private:
    common::ILogger& logger_;
    IIpcQtSocketPlugin::IpcLocalServerPtr server_;
    std::unique_ptr<HostingLock> lock_;
};

}  // namespace interprocess
