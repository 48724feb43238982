#include "QtCorePlatform.h"

#include <QDebug>
#include <atomic>

#include "HttpQuery.h"
#include "LocalSocket.h"
#include "LocalSocketServer.h"
#include "QtCorePlatformPrivate.h"
#include "QtHandle.h"
#include "QtMessageHandler.h"
#include "QtProcess.h"
#include "WebSocket.h"
#include "common/logging/ILogger.h"
#include "common/taskscheduler/ITaskScheduler.h"

namespace {

// Set while a platform exists.
std::atomic<bool> instanceExists{false};

}  // namespace

std::unique_ptr<QtCorePlatform> QtCorePlatform::create(
    common::ITaskScheduler& scheduler, common::credentialstorage::ICredentialStorage* storage,
    const std::string& qtArgv0) {
    // The logger is in place before the thread object is made, so that its
    // first message reaches the log.
    auto logger = common::createLogger("QtPlatform");
    setQtMessageLogger(logger.get());
    installQtMessageHandler();
    auto d = std::make_unique<Private>(scheduler, storage, std::move(logger));
    d->initApplication(qtArgv0);
    if (instanceExists.exchange(true)) {
        qFatal("QtCorePlatform can only have one instance at a time and it's already instantiated");
    }
    d->start();
    std::unique_ptr<QtCorePlatform> platform(new QtCorePlatform(std::move(d)));
    platform->initThread(&platform->internals());
    return platform;
}

QtCorePlatform::QtCorePlatform(std::unique_ptr<Private> d) : d(std::move(d)) {}

QtCorePlatform::~QtCorePlatform() {
    if (!instanceExists.exchange(false)) {
        return;
    }
    d->releaseNetworkAccessManager();
    d->stop();
    // Objects released before this point were deleted when the thread ended;
    // what is left belongs to handles still held, whose release can no
    // longer delete anything.
    if (const long live = d->objects().liveCount(); live > 0) {
        qWarning().nospace() << live
                             << " object(s) of the platform are still alive at its destruction; "
                                "their handles must be released before the platform";
    }
    d->deleteApplication();
}

std::unique_ptr<IHttpQuery, std::function<void(IHttpQuery*)>> QtCorePlatform::createQuery() const {
    // A query is sent, and timed, on the Qt thread: without it, it would
    // wait for ever.
    if (!d->isRunning()) {
        return {};
    }
    QNetworkAccessManager* manager = d->networkAccessManager();
    return makeQtHandle<IHttpQuery, HttpQuery>(
        d->objects(), new HttpQuery(d.get(), manager, d->proxyAuthenticator(), &d->queryQueue()),
        [](HttpQuery& query) { query.resetHandlers(); });
}

std::unique_ptr<ILocalSocket, std::function<void(ILocalSocket*)>>
QtCorePlatform::createLocalSocket() const {
    return makeQtHandle<ILocalSocket, LocalSocket>(d->objects(), new LocalSocket(d.get()),
                                                  [](LocalSocket& socket) { socket.resetHandler(); });
}

std::unique_ptr<ILocalSocketServer, std::function<void(ILocalSocketServer*)>>
QtCorePlatform::createLocalSocketServer(const std::string& name) const {
    return makeQtHandle<ILocalSocketServer, LocalSocketServer>(
        d->objects(), new LocalSocketServer(d.get(), name),
        [](LocalSocketServer& server) { server.resetHandler(); });
}

std::unique_ptr<IQtProcess, std::function<void(IQtProcess*)>> QtCorePlatform::createProcessController(
    IQtProcess::ProcessType type, const std::wstring& program, const std::wstring& workingFolder,
    const std::vector<std::wstring>& arguments) const {
    return makeQtHandle<IQtProcess, QtProcess>(
        d->objects(), new QtProcess(d.get(), type, program, workingFolder, arguments, QtProcess::Timings{}));
}

std::unique_ptr<IWebSocket, std::function<void(IWebSocket*)>> QtCorePlatform::createWebSocket()
    const {
    // Made with the manager, as a query would make it, so that the two
    // share the proxy authenticator from the start.
    d->networkAccessManager();
    return makeQtHandle<IWebSocket, WebSocket>(
        d->objects(),
        new WebSocket(d.get(), d->proxyAuthenticator(),
                      d->scheduler().createQueue(WebSocket::kQueueName)),
        [](WebSocket& socket) { socket.resetHandlers(); });
}

std::shared_ptr<IProxyAuthenticator> QtCorePlatform::getProxyAuthenticator() {
    return d->proxyAuthenticator();
}

void QtCorePlatform::setReservedHandler(ReservedHandler handler) {
    d->setReservedHandler(std::move(handler));
}

void QtCorePlatform::setProxyCredentialsRequestHandler(ProxyCredentialsRequestHandler handler) {
    d->setProxyCredentialsRequestHandler(std::move(handler));
}

QtCorePlatform::Private& QtCorePlatform::internals() {
    return *d;
}
