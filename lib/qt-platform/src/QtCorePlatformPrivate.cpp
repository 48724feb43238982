#include "QtCorePlatformPrivate.h"

#include <QDebug>
#include <QLoggingCategory>
#include <boost/assert.hpp>

#include "ProxyChallenge.h"
#include "QtMessageHandler.h"
#include "common/logging/ILogger.h"
#include "common/taskscheduler/ITaskQueue.h"
#include "common/taskscheduler/ITaskScheduler.h"

QtCorePlatform::Private::Private(common::ITaskScheduler& scheduler,
                                 common::credentialstorage::ICredentialStorage* storage,
                                 std::unique_ptr<common::ILogger> logger)
    : scheduler_(scheduler),
      queryQueue_(scheduler.createQueue(kQueryQueueName)),
      logger_(std::move(logger)),
      storage_(storage),
      qtThreadContext_(new QObject()) {
    BOOST_ASSERT_MSG(storage_ != nullptr, "the credential storage must not be null");
    qtThreadContext_->moveToThread(this);
}

QtCorePlatform::Private::~Private() {
    if (queryQueue_) {
        queryQueue_->finish([](bool&, unsigned long) {}, true);
    }
    clearQtMessageLogger(logger_.get());
    // The thread has ended (or never ran): nothing else uses the context.
    delete qtThreadContext_;
    deleteApplication();
}

void QtCorePlatform::Private::initApplication(const std::string& argv0) {
    argvBytes_.assign(argv0.begin(), argv0.end());
    argvBytes_.push_back('\0');
    argv_[0] = argvBytes_.data();
    argc_ = 1;
    deleteApplication();
    application_ = new QCoreApplication(argc_, argv_);
}

void QtCorePlatform::Private::deleteApplication() {
    delete application_;
    application_ = nullptr;
}

void QtCorePlatform::Private::start() {
    if (isRunning()) {
        qWarning() << "QtCorePlatform cannot be started more than once";
        return;
    }
    qDebug() << "starting";
    QThread::start(QThread::InheritPriority);
}

void QtCorePlatform::Private::stop() {
    if (!isRunning()) {
        return;
    }
    qDebug() << "stopping";
    quit();
    // Until the thread has ended entirely: the deletions deferred to it are
    // done as it ends, after its event loop has returned.
    if (!waitForStopped(kStopTimeoutMs)) {
        qWarning() << "failed to wait for stopped state, terminating";
        terminate();
        wait();
    }
}

std::shared_ptr<ProxyAuthenticator> QtCorePlatform::Private::proxyAuthenticator() {
    if (!proxyAuthenticator_) {
        auto authenticator = std::make_shared<ProxyAuthenticator>(storage_);
        authenticator->updateFromSystemSettings();
        authenticator->loadStoredCredentials();
        proxyAuthenticator_ = std::move(authenticator);
    }
    return proxyAuthenticator_;
}

QNetworkAccessManager* QtCorePlatform::Private::networkAccessManager() {
    if (networkAccessManager_ == nullptr) {
        proxyAuthenticator();
        QNetworkAccessManager* manager = nullptr;
        const auto make = [this, &manager] {
            manager = new QNetworkAccessManager();
            QObject::connect(
                manager, &QNetworkAccessManager::proxyAuthenticationRequired, manager,
                [this](const QNetworkProxy& proxy, QAuthenticator* authenticator) {
                    onProxyAuthenticationRequired(proxy, authenticator);
                },
                Qt::DirectConnection);
        };
        if (QThread::currentThread() == this || !isRunning()) {
            make();
            manager->moveToThread(this);
        } else {
            QMetaObject::invokeMethod(qtThreadContext_, make, Qt::BlockingQueuedConnection);
        }
        networkAccessManager_ = manager;
    }
    return networkAccessManager_;
}

void QtCorePlatform::Private::releaseNetworkAccessManager() {
    if (networkAccessManager_ != nullptr) {
        networkAccessManager_->deleteLater();
        networkAccessManager_ = nullptr;
    }
}

void QtCorePlatform::Private::setReservedHandler(ReservedHandler handler) {
    std::lock_guard lock(handlerMutex_);
    reservedHandler_ = std::move(handler);
}

void QtCorePlatform::Private::setProxyCredentialsRequestHandler(
    ProxyCredentialsRequestHandler handler) {
    std::lock_guard lock(handlerMutex_);
    proxyCredentialsRequestHandler_ = std::move(handler);
}

void QtCorePlatform::Private::onProxyAuthenticationRequired(const QNetworkProxy& proxy,
                                                            QAuthenticator* authenticator) {
    ProxyCredentialsRequestHandler handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = proxyCredentialsRequestHandler_;
    }
    const auto answer =
        answerProxyChallenge(*proxyAuthenticator(), proxy, authenticator,
                             *QLoggingCategory::defaultCategory(), static_cast<bool>(handler));
    if (answer.kind == ProxyAuthenticator::ChallengeAnswer::CannotAsk) {
        qWarning() << "Cannot call the ui for proxy credentials";
    } else if (answer.kind == ProxyAuthenticator::ChallengeAnswer::AskUser) {
        handler(answer.hostPort);
    }
}
