#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "common/logging/ILogger.h"
#include "common/taskscheduler/ITaskQueue.h"
#include "common/taskscheduler/ITaskScheduler.h"
#include "interprocess/AsynchronousDataLink.h"
#include "interprocess/IConnection.h"
#include "interprocess/IIpcController.h"
#include "interprocess/ITransport.h"

namespace interprocess {

// The controller over message queues: one data link for the process, one
// listening transport that accepts peers, and one transport per peer, kept
// under the peer's name. Texts for a peer that is not connected wait, in
// order, until it is.
class IpcController : public IIpcController, public ITransportDelegate {
public:
    IpcController(const std::string& name, const std::string& installationId,
                  common::ITaskScheduler& scheduler, std::unique_ptr<common::ILogger> logger);
    ~IpcController() override;

    bool start() override;
    bool send(const helper::ApplicationType& to, const std::string& json) override;
    void connectToService(const std::string& name, std::function<void(bool)> callback) override;
    void disconnectApplication(const helper::ApplicationType& peer, bool flag) override;
    bool sendSync(const helper::ApplicationType to, const std::string json) override;
    void disconnect() override;
    bool stop() override;

    void onTransportDisconnected(const ITransport& transport) override;
    void onTransportConnecting(const ITransport& transport) override;
    void onTransportConnected(const ITransport& transport) override;
    void onTransportDisconnecting(const ITransport& transport) override;
    void onTransportListening(const ITransport& transport) override;
    void onTransportConnectionRequest(const ITransport& transport, const std::string peer) override;
    void onTransportDataReceived(const ITransport& transport, const std::string json) override;
    void onTransportSyncDataReceived(const ITransport& transport, const std::string json) override;

    // The kind named exactly `name`, UnattendedUpdater included; None else.
    static helper::ApplicationType applicationTypeFromName(const std::string& name);

private:
    std::unique_ptr<ITransport> makeTransport(std::unique_ptr<IConnection> connection,
                                              const std::string& queueName);
    void post(std::function<void()> work);
    // Stores `transport` under `peer`, replacing what was there.
    void store(const std::string& peer, std::unique_ptr<ITransport> transport);

    std::string installationId_;
    std::string name_;
    common::ITaskScheduler& scheduler_;
    std::unique_ptr<common::ITaskQueue> queue_;
    std::unique_ptr<common::ILogger> logger_;
    std::unique_ptr<ITransport> listenerTransport_;
    std::shared_ptr<AsynchronousDataLink> dataLink_;
    std::map<std::string, std::unique_ptr<ITransport>> transports_;
    // Peers whose link is up.
    std::set<std::string> connected_;
    // Which transport is stored under each peer name: a number per store, so
    // that a late report about a replaced transport is told apart.
    std::map<std::string, std::uint64_t> generations_;
    std::uint64_t lastGeneration_ = 0;
    std::map<helper::ApplicationType, std::deque<std::string>> pendingMessages_;
};

}  // namespace interprocess
