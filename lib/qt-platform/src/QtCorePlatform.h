#pragma once

#include <memory>
#include <string>

#include "IQtNetworkPlugin.h"
#include "IQtPlatform.h"
#include "IQtProcessPlugin.h"

namespace common {
class ITaskScheduler;
}
namespace common::credentialstorage {
class ICredentialStorage;
}

// The program's only door to Qt. It owns the Qt application object and the
// Qt thread on which every Qt object of the layer lives, hands those objects
// out as handles whose release deletes them on that thread, shares one proxy
// authenticator, and forwards Qt's messages to the logger "QtPlatform". One
// instance may exist in a process at a time; a second one ends the process.
class QtCorePlatform : public IQtPlatform, public IQtNetworkPlugin, public IQtProcessPlugin {
public:
    class Private;

    // Makes the Qt application (its one argument is `qtArgv0`) and starts the
    // Qt thread. The credential storage keeps the proxy credentials; it must
    // not be null and must outlive the platform.
    static std::unique_ptr<QtCorePlatform> create(
        common::ITaskScheduler& scheduler, common::credentialstorage::ICredentialStorage* storage,
        const std::string& qtArgv0);

    // Stops the Qt thread (waiting up to 5000 ms before terminating it) and
    // deletes the Qt application.
    ~QtCorePlatform() override;

    QtCorePlatform(const QtCorePlatform&) = delete;
    QtCorePlatform& operator=(const QtCorePlatform&) = delete;

    std::unique_ptr<IHttpQuery, std::function<void(IHttpQuery*)>> createQuery() const override;
    std::unique_ptr<ILocalSocket, std::function<void(ILocalSocket*)>> createLocalSocket()
        const override;
    std::unique_ptr<ILocalSocketServer, std::function<void(ILocalSocketServer*)>>
    createLocalSocketServer(const std::string& name) const override;
    std::unique_ptr<IWebSocket, std::function<void(IWebSocket*)>> createWebSocket() const override;
    std::shared_ptr<IProxyAuthenticator> getProxyAuthenticator() override;
    void setReservedHandler(ReservedHandler handler) override;
    void setProxyCredentialsRequestHandler(ProxyCredentialsRequestHandler handler) override;

    std::unique_ptr<IQtProcess, std::function<void(IQtProcess*)>> createProcessController(
        IQtProcess::ProcessType type, const std::wstring& program,
        const std::wstring& workingFolder, const std::vector<std::wstring>& arguments) const override;

    // The layer's own side: the Qt thread and the shared members that the
    // layer's classes are made with.
    Private& internals();

private:
    explicit QtCorePlatform(std::unique_ptr<Private> d);

    std::unique_ptr<Private> d;
};
