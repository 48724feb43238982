#pragma once

#include <QAuthenticator>
#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MainThread.h"
#include "ProxyAuthenticator.h"
#include "QtCorePlatform.h"
#include "QtObjectTracker.h"

namespace common {
class ILogger;
class ITaskQueue;
class ITaskScheduler;
}  // namespace common

// The platform's private part, which is itself the Qt thread.
class QtCorePlatform::Private : public MainThread {
public:
    static constexpr const char* kQueryQueueName = "QtCorePlatform::HttpQuery";
    static constexpr int kStopTimeoutMs = 5000;

    Private(common::ITaskScheduler& scheduler,
            common::credentialstorage::ICredentialStorage* storage,
            std::unique_ptr<common::ILogger> logger);
    ~Private() override;

    // Makes the Qt application with `argv0` as its one argument, replacing
    // one made before.
    void initApplication(const std::string& argv0);
    void deleteApplication();

    // Starts the Qt thread once; stops it and waits until it has ended
    // entirely (its deferred deletions done), terminating it when it does
    // not end within kStopTimeoutMs.
    void start();
    void stop();

    // The authenticator is made on first use, on the calling thread; the
    // manager on first use too, but on the Qt thread, so that nothing it
    // makes or posts while it is built belongs to the caller's thread.
    std::shared_ptr<ProxyAuthenticator> proxyAuthenticator();
    QNetworkAccessManager* networkAccessManager();
    void releaseNetworkAccessManager();

    common::ITaskScheduler& scheduler() { return scheduler_; }
    common::ITaskQueue& queryQueue() { return *queryQueue_; }
    QtObjectTracker& objects() { return objects_; }

    void setReservedHandler(ReservedHandler handler);
    void setProxyCredentialsRequestHandler(ProxyCredentialsRequestHandler handler);

    // Answers the network access manager's proxy challenge, on the Qt thread.
    void onProxyAuthenticationRequired(const QNetworkProxy& proxy, QAuthenticator* authenticator);

private:
    common::ITaskScheduler& scheduler_;
    std::unique_ptr<common::ITaskQueue> queryQueue_;
    std::shared_ptr<ProxyAuthenticator> proxyAuthenticator_;
    std::unique_ptr<common::ILogger> logger_;
    QCoreApplication* application_ = nullptr;
    QNetworkAccessManager* networkAccessManager_ = nullptr;
    std::mutex handlerMutex_;
    ReservedHandler reservedHandler_;
    ProxyCredentialsRequestHandler proxyCredentialsRequestHandler_;
    common::credentialstorage::ICredentialStorage* storage_;
    int argc_ = 1;
    char* argv_[2] = {nullptr, nullptr};
    std::vector<char> argvBytes_;
    QtObjectTracker objects_;
    // A plain object living on the Qt thread, through which work is run
    // there.
    QObject* qtThreadContext_ = nullptr;
};
