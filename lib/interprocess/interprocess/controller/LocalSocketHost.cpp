#include "interprocess/controller/LocalSocketHost.h"

#include "IIpcLocalServer.h"
#include "interprocess/controller/LocalSocketPath.h"

namespace interprocess {

bool LocalSocketHost::host(IIpcQtSocketPlugin& qt, const std::string& path,
                           IIpcQtSocketPlugin::ServerConnectCallback accepted,
                           std::chrono::milliseconds wait) {
    std::string reason;
    if (!lock_ && !(lock_ = HostingLock::take(path, reason))) {
        logger_.error("cannot host at %s: %s", path.c_str(), reason.c_str());
        return false;
    }
    if (!LocalSocketPath::isHostable(path, reason)) {
        logger_.error("cannot host at %s: %s", path.c_str(), reason.c_str());
        release();
        return false;
    }
    // An earlier server goes first: closing, it removes its socket file.
    server_.reset();
    const auto previous = LocalSocketPath::ownSocket(path);
    server_ = qt.createIpcLocalServer(path, std::move(accepted));
    if (!LocalSocketPath::waitForNewSocket(path, previous, wait)) {
        logger_.error("cannot host at %s: the server does not listen", path.c_str());
        release();
        return false;
    }
    return true;
}

void LocalSocketHost::close() {
    if (server_) {
        server_->setConnectCallback(nullptr);
        server_->close();
    }
}

}  // namespace interprocess
