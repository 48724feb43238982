#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/actor/Actor.h"
#include "common/logging/ILogger.h"
#include "common/taskscheduler/ITaskQueue.h"
#include "common/taskscheduler/ITaskScheduler.h"
#include "interprocess/IAsynchronousDataLink.h"
#include "interprocess/IConnection.h"

namespace interprocess {

// One link to one peer process over the process's shared data link: an actor
// whose states (Init, Connecting, Connected, Disconnecting, Listening) handle
// the owner's requests, the peer's link messages and a 100 ms timer tick.
// A client connects by name, a listener answers connection requests, and an
// accepted connection starts connected. Connected links exchange Ping and
// Pong about every 1.1 s and end 11 s after an unanswered Ping.
class Connection : public IConnection,
                   public IAsynchronousDataLinkClient,
                   public common::Actor<Connection> {
public:
    using Actor = common::Actor<Connection>;

    struct Timer {};
    struct RequestConnect {
        std::string to;
        std::function<void(bool)> callback;
    };
    struct RequestDisconnect {};
    struct RequestListen {};
    struct RequestSend {
        std::string text;
        std::function<void(bool)> callback;
    };
    struct RequestSendSync {
        std::string text;
    };

    static constexpr std::uint64_t kConnectTimeoutTicks = 70;
    static constexpr std::uint64_t kPingTicks = 10;
    static constexpr std::int64_t kPingTimeoutSeconds = 11;
    static constexpr std::uint64_t kDisconnectTimeoutTicks = 20;

    // A client or a listener, idle until told to connect or listen.
    Connection(std::shared_ptr<IAsynchronousDataLink> dataLink, common::ITaskScheduler& scheduler,
               std::unique_ptr<common::ILogger> logger = nullptr);
    // The link accepted for `peer`, connected from the start.
    Connection(std::shared_ptr<IAsynchronousDataLink> dataLink, common::ITaskScheduler& scheduler,
               const std::string& peer, std::unique_ptr<common::ILogger> logger = nullptr);
    ~Connection() override;

    void connect(const std::string& to, std::function<void(bool)> callback) override;
    void disconnect() override;
    void listen() override;
    void send(const std::string& text, std::function<void(bool)> callback) override;
    bool sendSync(const std::string& text) override;
    std::string linkName() override;
    std::string name() override;

    void onDataLinkMessage(const std::string from, bool toListener,
                           const protocol::Command message) override;
    void onDataLinkSyncMessage(const std::string from, bool toListener,
                               const protocol::Command message, bool& taken) override;

private:
    // The states' entries.
    void onInit(Actor& actor, const bool notify);
    void onConnecting(Actor& actor, std::function<void(bool)> callback);
    void onConnected(Actor& actor);
    void onDisconnecting(Actor& actor);
    void onListening(Actor& actor);

    // Handlers.
    void connectFromInit(const RequestConnect& request);
    void keepAlive();
    void answerConnectTo(const protocol::ConnectTo& request);

    template <typename M>
    void on(Actor& actor, std::function<void(const M&)> handler) {
        actor.subscribe<void, M>([handler = std::move(handler)](Actor&, M message) { handler(message); });
    }
    // Requests that a state has no use for: their callbacks hear false.
    void refuseRequests(Actor& actor);
    void enterInit(bool notify);

    bool accepts(const std::string& from, bool toListener) const;
    // Encodes `command` and hands it to the data link; `onResult` runs only
    // while this connection lives.
    void sendCommand(const protocol::Command& command, const std::string& to, bool toListener,
                     bool quiet, std::function<void(bool)> onResult);
    void setName(const std::string& peer);
    void setListening();
    void startTimer();
    static std::int64_t nowSeconds();

    std::shared_ptr<IAsynchronousDataLink> dataLink_;
    std::unique_ptr<common::ITaskQueue> queue_;
    std::unique_ptr<common::ILogger> logger_;
    std::string name_;
    bool listening_ = false;
    std::int64_t lastPingTime_ = 0;
    bool pingAnswered_ = true;
    bool timerStarted_ = false;
    std::uint64_t connectingTicks_ = 0;
    std::uint64_t pingTicks_ = 0;
    std::uint64_t disconnectingTicks_ = 0;
    // Gone with the connection: results that arrive later leave it alone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace interprocess
