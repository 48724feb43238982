#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "common/logging/ILogger.h"
#include "common/taskscheduler/ITaskQueue.h"
#include "interprocess/IConnection.h"
#include "interprocess/ITransport.h"

namespace interprocess {

// Wraps each application text in an envelope with a random id and sends it
// over its connection once (MostOnce) or every second until an Ack names it
// or it is 6 s old (LeastOnce); passes the connection's events on to its own
// delegate and unwraps what the peer sends.
class Transport : public ITransport, public IConnectionDelegate {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::chrono::milliseconds kResendInterval{1000};
    static constexpr std::chrono::seconds kMaxAge{6};
    static constexpr std::size_t kIdLength = 10;

    // `clock` measures the age of kept messages; the steady clock by default.
    Transport(std::unique_ptr<IConnection> connection, std::unique_ptr<common::ITaskQueue> queue,
              std::unique_ptr<common::ILogger> logger, Clock clock = nullptr);
    // Messages still kept hear false.
    ~Transport() override;

    void connect(const std::string& to, std::function<void(bool)> callback) override;
    void disconnect() override;
    void listen() override;
    void send(const std::string& json, const QOS& qos,
              std::function<void(bool)> callback = [](bool) {}) override;
    bool sendSync(const std::string& json) override;
    std::string linkName() const override;
    std::string name() const override;

    void onConnectionDisconnected(IConnection& connection) override;
    void onConnectionConnecting(IConnection& connection) override;
    void onConnectionConnected(IConnection& connection) override;
    void onConnectionDisconnecting(IConnection& connection) override;
    void onConnectionListening(IConnection& connection) override;
    void onConnectionRequest(IConnection& connection, const std::string peer) override;
    void onConnectionDataReceived(IConnection& connection, const std::string text) override;
    void onConnectionSyncDataReceived(IConnection& connection, const std::string text) override;

private:
    struct Kept {
        std::string id;
        std::string json;
        std::function<void(bool)> callback;
        std::chrono::steady_clock::time_point time;
    };

    void sendMostOnce(const std::string& json, std::function<void(bool)> callback);
    void sendLeastOnce(const std::string& json, std::function<void(bool)> callback);
    void onResendTimer(bool& reschedule);
    void acknowledge(const std::string& id);
    void received(const std::string& text, bool sync);
    static std::string envelope(const std::string& id, const std::string& json);

    std::unique_ptr<IConnection> connection_;
    std::unique_ptr<common::ITaskQueue> queue_;
    std::unique_ptr<common::ILogger> logger_;
    Clock clock_;
    std::list<Kept> unacknowledged_;
    bool running_ = true;
};

}  // namespace interprocess
