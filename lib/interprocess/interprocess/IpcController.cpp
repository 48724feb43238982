#include "interprocess/IpcController.h"

#include <array>

#include "interprocess/Connection.h"
#include "interprocess/DataLink.h"
#include "interprocess/Transport.h"

namespace interprocess {

namespace {

using helper::ApplicationType;

constexpr std::array<ApplicationType, 12> kPeerTypes = {
    ApplicationType::Attended,          ApplicationType::Unattended,
    ApplicationType::CustomerAttendedApp, ApplicationType::AttendedUi,
    ApplicationType::UnattendedUi,      ApplicationType::CustomerAttendedAppUi,
    ApplicationType::ProcessChecker,    ApplicationType::ComponentTest,
    ApplicationType::LoggerProcess,     ApplicationType::UnattendedUpdater,
    ApplicationType::RemoteExecutionRunner, ApplicationType::RemoteControl,
};

std::string nameOf(const ApplicationType& type) {
    const char* name = helper::toString(type);
    return name != nullptr ? name : "";
}

}  // namespace

ApplicationType IpcController::applicationTypeFromName(const std::string& name) {
    for (const auto type : kPeerTypes) {
        if (nameOf(type) == name) {
            return type;
        }
    }
    return ApplicationType::None;
}

IpcController::IpcController(const std::string& name, const std::string& installationId,
                             common::ITaskScheduler& scheduler,
                             std::unique_ptr<common::ILogger> logger)
    : installationId_(installationId),
      name_(name),
      scheduler_(scheduler),
      queue_(scheduler.createQueue("IpcController")),
      logger_(std::move(logger)) {}

IpcController::~IpcController() {
    stop();
}

void IpcController::post(std::function<void()> work) {
    queue_->push([work = std::move(work)](bool&, unsigned long) { work(); }, 0);
}

std::unique_ptr<ITransport> IpcController::makeTransport(std::unique_ptr<IConnection> connection,
                                                         const std::string& queueName) {
    auto transport = std::make_unique<Transport>(std::move(connection),
                                                 scheduler_.createQueue(queueName),
                                                 common::createLogger("Transport"));
    transport->setDelegate(this);
    return transport;
}

void IpcController::store(const std::string& peer, std::unique_ptr<ITransport> transport) {
    connected_.erase(peer);
    generations_[peer] = ++lastGeneration_;
    // The replaced transport goes after the map no longer holds it.
    auto replaced = std::move(transports_[peer]);
    transports_[peer] = std::move(transport);
    replaced.reset();
}

bool IpcController::start() {
    logger_->info("IpcController start: '%s' ...", name_.c_str());
    dataLink_ = AsynchronousDataLink::create(DataLink::create(installationId_, name_),
                                             scheduler_.createQueue("AsynchronousDataLink"));
    if (!dataLink_->init()) {
        logger_->error("unable to create data link");
        return false;
    }
    listenerTransport_ =
        makeTransport(std::make_unique<Connection>(dataLink_, scheduler_), "ListenerTransport");
    listenerTransport_->listen();
    return true;
}

bool IpcController::send(const ApplicationType& to, const std::string& json) {
    if (json.empty()) {
        return false;
    }
    const std::string key = nameOf(to);
    if (!key.empty() && connected_.count(key) != 0) {
        post([this, key, json] {
            const auto found = transports_.find(key);
            if (found != transports_.end()) {
                found->second->send(json, ITransport::QOS::MostOnce);
            }
        });
        return true;
    }
    logger_->debug("queue message to: '%s', json: '%s'", key.c_str(), json.c_str());
    pendingMessages_[to].push_back(json);
    return true;
}

bool IpcController::sendSync(const ApplicationType to, const std::string json) {
    if (json.empty()) {
        return false;
    }
    const auto found = transports_.find(nameOf(to));
    if (found == transports_.end()) {
        logger_->warn("unable to find transport layer for application: '%s'", nameOf(to).c_str());
        return false;
    }
    return found->second->sendSync(json);
}

void IpcController::connectToService(const std::string& name, std::function<void(bool)> callback) {
    post([this, name, callback = std::move(callback)] {
        if (transports_.count(name) != 0) {
            callback(true);
            return;
        }
        if (!dataLink_) {
            callback(false);
            return;
        }
        auto transport =
            makeTransport(std::make_unique<Connection>(dataLink_, scheduler_), "Transport");
        transport->connect(name, callback);
        store(name, std::move(transport));
    });
}

void IpcController::disconnectApplication(const ApplicationType& peer, bool) {
    const std::string key = nameOf(peer);
    logger_->debug("Disconnecting from %s...", key.c_str());
    if (transports_.count(key) != 0) {
        logger_->debug("Removing application: %s", key.c_str());
        connected_.erase(key);
        transports_.erase(key);
    }
    if (pendingMessages_.erase(peer) != 0) {
        logger_->debug("Removing pending messages: %s", key.c_str());
    }
}

void IpcController::disconnect() {
    if (listenerTransport_) {
        listenerTransport_->disconnect();
    }
}

bool IpcController::stop() {
    if (isStopped()) {
        return false;
    }
    connected_.clear();
    transports_.clear();
    if (dataLink_) {
        dataLink_->stop();
    }
    if (listenerTransport_) {
        listenerTransport_->setDelegate(nullptr);
        listenerTransport_->disconnect();
    }
    queue_->finish([this](bool&, unsigned long) { transports_.clear(); }, true);
    return markStopped();
}

void IpcController::onTransportListening(const ITransport& transport) {
    const auto name = transport.linkName();
    logger_->debug("Transport %s is now listening. IPC is ready to receive connections.",
                   name.c_str());
    notify(&IIpcControllerClient::onIpcReady, name);
}

void IpcController::onTransportConnectionRequest(const ITransport&, const std::string peer) {
    logger_->info("connection request from: '%s'", peer.c_str());
    store(peer, makeTransport(std::make_unique<Connection>(dataLink_, scheduler_, peer), "Transport"));
}

void IpcController::onTransportConnected(const ITransport& transport) {
    const auto name = transport.name();
    logger_->info("connection connected: '%s' to '%s'", transport.linkName().c_str(), name.c_str());
    connected_.insert(name);
    notify(&IIpcControllerClient::onParticipantConnected, name);
    logger_->info("send pending messages to %s", name.c_str());
    const auto type = applicationTypeFromName(name);
    const auto pending = pendingMessages_.find(type);
    if (pending == pendingMessages_.end()) {
        logger_->info("Could not find pending message to %s", nameOf(type).c_str());
        return;
    }
    auto texts = std::move(pending->second);
    pendingMessages_.erase(pending);
    for (const auto& text : texts) {
        send(type, text);
    }
}

void IpcController::onTransportDisconnected(const ITransport& transport) {
    const auto name = transport.name();
    const auto stored = transports_.find(name);
    if (stored == transports_.end() || stored->second.get() != &transport) {
        return;
    }
    const auto generation = generations_[name];
    post([this, name, generation] {
        // Only the transport that reported: a newer link to the same peer stays.
        const auto found = transports_.find(name);
        if (found == transports_.end() || generations_[name] != generation) {
            return;
        }
        logger_->info("participant disconnected: '%s'", name.c_str());
        connected_.erase(name);
        notify(&IIpcControllerClient::onParticipantDisconnected, name);
        transports_.erase(found);
    });
}

void IpcController::onTransportDataReceived(const ITransport& transport, const std::string json) {
    const auto type = applicationTypeFromName(transport.name());
    if (type == ApplicationType::None) {
        logger_->warn("Ipc message from transport connection %s dropped: %s",
                      transport.name().c_str(), json.c_str());
        return;
    }
    post([this, type, json] { notify(&IIpcControllerClient::onMessageReceived, type, json); });
}

void IpcController::onTransportSyncDataReceived(const ITransport& transport,
                                                const std::string json) {
    const auto type = applicationTypeFromName(transport.name());
    if (type != ApplicationType::None) {
        notify(&IIpcControllerClient::onSyncMessageReceived, type, json);
    }
}

void IpcController::onTransportConnecting(const ITransport&) {}

void IpcController::onTransportDisconnecting(const ITransport&) {}

}  // namespace interprocess
