#include "interprocess/Connection.h"

#include <chrono>
#include <variant>

#include "common/utils/RandomString.h"
#include "interprocess/DataLink.h"
#include "interprocess/JsonSerialization.h"
#include "interprocess/OnceCallback.h"

namespace interprocess {

namespace {

constexpr std::chrono::milliseconds kTimerInterval(100);
constexpr std::size_t kPingIdLength = 10;

std::unique_ptr<common::ILogger> orDefault(std::unique_ptr<common::ILogger> logger) {
    return logger ? std::move(logger) : common::createLogger("IpcConnection");
}

}  // namespace

Connection::Connection(std::shared_ptr<IAsynchronousDataLink> dataLink,
                       common::ITaskScheduler& scheduler, std::unique_ptr<common::ILogger> logger)
    : Actor(this, scheduler.createQueue("IpcConnectionActor")),
      dataLink_(std::move(dataLink)),
      queue_(scheduler.createQueue("IpcConnection")),
      logger_(orDefault(std::move(logger))) {
    startTimer();
    logger_->setSubName(linkName());
    dataLink_->addObserver(this);
    became<const bool>(&Connection::onInit, false);
}

Connection::Connection(std::shared_ptr<IAsynchronousDataLink> dataLink,
                       common::ITaskScheduler& scheduler, const std::string& peer,
                       std::unique_ptr<common::ILogger> logger)
    : Actor(this, scheduler.createQueue("IpcConnectionActor")),
      dataLink_(std::move(dataLink)),
      queue_(scheduler.createQueue("IpcConnection")),
      logger_(orDefault(std::move(logger))) {
    startTimer();
    logger_->setSubName(linkName());
    dataLink_->addObserver(this);
    setName(peer);
    became(&Connection::onConnected);
}

Connection::~Connection() {
    alive_.reset();
    setDelegate(nullptr);
    dataLink_->removeObserver(this);
    dataLink_.reset();
    timerStarted_ = false;
    queue_->finish([](bool&, unsigned long) {}, false);
}

// Requests from the owner.

void Connection::connect(const std::string& to, std::function<void(bool)> callback) {
    logger_->info("connect request to '%s'", to.c_str());
    dispatch(RequestConnect{to, OnceCallback(std::move(callback))});
}

void Connection::disconnect() {
    logger_->info("disconnect request");
    dispatch(RequestDisconnect{});
}

void Connection::listen() {
    logger_->info("listen request");
    dispatch(RequestListen{});
}

void Connection::send(const std::string& text, std::function<void(bool)> callback) {
    logger_->trace("send message request: '%s'", text.c_str());
    dispatch(RequestSend{text, OnceCallback(std::move(callback))});
}

bool Connection::sendSync(const std::string& text) {
    return dispatchSync<bool>(RequestSendSync{text});
}

std::string Connection::linkName() {
    return dataLink_ ? dataLink_->name() : std::string();
}

std::string Connection::name() {
    return name_;
}

// What the data link delivers.

bool Connection::accepts(const std::string& from, bool toListener) const {
    return toListener ? listening_ : name_ == from;
}

void Connection::onDataLinkMessage(const std::string from, bool toListener,
                                   const protocol::Command message) {
    if (!accepts(from, toListener)) {
        return;
    }
    std::visit([this](const auto& alternative) { dispatch(alternative); }, message);
}

void Connection::onDataLinkSyncMessage(const std::string from, bool toListener,
                                       const protocol::Command message, bool& taken) {
    const auto* data = std::get_if<protocol::Data>(&message);
    if (data == nullptr || !accepts(from, toListener) || !hasDelegate()) {
        return;
    }
    taken = true;
    delegate()->onConnectionSyncDataReceived(*this, data->json);
}

// States.

void Connection::refuseRequests(Actor& actor) {
    on<RequestConnect>(actor, [](const RequestConnect& request) { request.callback(false); });
    on<RequestSend>(actor, [](const RequestSend& request) { request.callback(false); });
}

void Connection::enterInit(bool notify) {
    became<const bool>(&Connection::onInit, notify);
}

void Connection::onInit(Actor& actor, const bool notify) {
    if (notify && hasDelegate()) {
        delegate()->onConnectionDisconnected(*this);
    }
    setName("");
    refuseRequests(actor);
    on<RequestConnect>(actor, [this](const RequestConnect& request) { connectFromInit(request); });
    on<RequestListen>(actor, [this](const RequestListen&) { became(&Connection::onListening); });
}

void Connection::connectFromInit(const RequestConnect& request) {
    setName(request.to);
    const auto callback = request.callback;
    const auto to = request.to;
    sendCommand(protocol::ConnectTo{to, linkName()}, to, true, false,
                [this, callback, to](bool queued) {
                    if (queued) {
                        became<std::function<void(bool)>>(&Connection::onConnecting, callback);
                        return;
                    }
                    logger_->error("unable to connect to '%s'", to.c_str());
                    enterInit(true);
                    callback(false);
                });
}

void Connection::onConnecting(Actor& actor, std::function<void(bool)> callback) {
    logger_->info("connecting");
    if (hasDelegate()) {
        delegate()->onConnectionConnecting(*this);
    }
    refuseRequests(actor);
    on<protocol::ConnectAccepted>(actor, [this, callback](const protocol::ConnectAccepted& accepted) {
        logger_->info("connection accepted from: %s", accepted.from.c_str());
        setName(accepted.from);
        became(&Connection::onConnected);
        callback(true);
    });
    on<protocol::ConnectRejected>(actor, [this, callback](const protocol::ConnectRejected&) {
        logger_->error("connection request rejected");
        enterInit(true);
        callback(false);
    });
    connectingTicks_ = 0;
    on<Timer>(actor, [this, callback](const Timer&) {
        if (connectingTicks_++ == kConnectTimeoutTicks) {
            logger_->error("timeout");
            enterInit(true);
            callback(false);
        }
    });
}

void Connection::onConnected(Actor& actor) {
    if (hasDelegate()) {
        delegate()->onConnectionConnected(*this);
    }
    refuseRequests(actor);
    on<protocol::Disconnect>(actor, [this](const protocol::Disconnect&) {
        sendCommand(protocol::Shutdown{}, name_, false, false, [this](bool queued) {
            if (!queued) {
                logger_->warn("unable to send shutdown");
            }
            logger_->info("disconnected");
            enterInit(true);
        });
    });
    on<protocol::Ping>(actor, [this](const protocol::Ping& ping) {
        logger_->trace("receive ping, sending pong, id: %s", ping.id.c_str());
        sendCommand(protocol::Pong{{ping.id}}, name_, false, true, [this](bool queued) {
            if (!queued) {
                logger_->error("unable to send pong");
                enterInit(true);
            }
        });
    });
    on<protocol::Pong>(actor, [this](const protocol::Pong&) {
        pingAnswered_ = true;
        const auto elapsed = nowSeconds() - lastPingTime_;
        if (elapsed >= kPingTimeoutSeconds) {
            logger_->warn("Time between Ping and Pong is greater then %d second. %lld",
                          static_cast<int>(kPingTimeoutSeconds - 1), static_cast<long long>(elapsed));
        }
    });
    on<protocol::Data>(actor, [this](const protocol::Data& data) {
        if (hasDelegate()) {
            delegate()->onConnectionDataReceived(*this, data.json);
        }
    });
    on<RequestDisconnect>(actor, [this](const RequestDisconnect&) {
        sendCommand(protocol::Disconnect{}, name_, false, false, [this](bool queued) {
            if (queued) {
                became(&Connection::onDisconnecting);
            } else {
                logger_->warn("unable to send disconnect message");
                enterInit(true);
            }
        });
    });
    on<RequestSend>(actor, [this](const RequestSend& request) {
        std::string text;
        json_serialize(protocol::Command(protocol::Data{request.text}), text);
        std::weak_ptr<bool> alive = alive_;
        const auto callback = request.callback;
        // The owner hears the result even when this connection is gone.
        dataLink_->send(
            name_, text,
            [this, alive, callback](bool queued) {
                callback(queued);
                if (!queued && alive.lock()) {
                    logger_->error("unable to send message");
                    enterInit(true);
                }
            },
            false, false);
    });
    actor.subscribe<bool, RequestSendSync>([this](Actor&, RequestSendSync request) {
        std::string text;
        json_serialize(protocol::Command(protocol::Data{request.text}), text);
        return dataLink_->sendSync(name_, text);
    });
    pingTicks_ = 0;
    on<Timer>(actor, [this](const Timer&) { keepAlive(); });
}

void Connection::keepAlive() {
    if (pingTicks_++ < kPingTicks) {
        return;
    }
    pingTicks_ = 0;
    if (pingAnswered_) {
        const auto id = common::randomString(kPingIdLength, common::kAlphanumericAlphabet);
        logger_->trace("sending ping: %s", id.c_str());
        sendCommand(protocol::Ping{id}, name_, false, true, [this](bool queued) {
            if (queued) {
                lastPingTime_ = nowSeconds();
                pingAnswered_ = false;
            } else {
                logger_->error("unable to send ping");
                enterInit(true);
            }
        });
    } else if (nowSeconds() - lastPingTime_ >= kPingTimeoutSeconds) {
        logger_->error("ping timeout");
        enterInit(true);
    }
}

void Connection::onDisconnecting(Actor& actor) {
    logger_->info("disconnecting");
    if (hasDelegate()) {
        delegate()->onConnectionDisconnecting(*this);
    }
    refuseRequests(actor);
    on<protocol::Shutdown>(actor, [this](const protocol::Shutdown&) {
        logger_->info("shutdown received");
        enterInit(true);
    });
    disconnectingTicks_ = 0;
    on<Timer>(actor, [this](const Timer&) {
        if (disconnectingTicks_++ >= kDisconnectTimeoutTicks) {
            logger_->warn("disconnect timeout");
            enterInit(true);
        }
    });
}

void Connection::onListening(Actor& actor) {
    setListening();
    logger_->info("listening");
    if (hasDelegate()) {
        delegate()->onConnectionListening(*this);
    }
    refuseRequests(actor);
    on<protocol::ConnectTo>(actor, [this](const protocol::ConnectTo& request) { answerConnectTo(request); });
    on<RequestDisconnect>(actor, [this](const RequestDisconnect&) {
        logger_->info("RequestDisconnect");
        enterInit(true);
    });
}

void Connection::answerConnectTo(const protocol::ConnectTo& request) {
    if (request.from.empty() || !DataLink::isValidName(request.from)) {
        logger_->warn("ConnectTo with an invalid name ignored: '%s'", request.from.c_str());
        return;
    }
    if (hasDelegate()) {
        delegate()->onConnectionRequest(*this, request.from);
        logger_->debug("Sending ConnectAccepted to %s from %s", request.from.c_str(),
                       request.to.c_str());
        sendCommand(protocol::ConnectAccepted{request.to}, request.from, false, false, [](bool) {});
    } else {
        logger_->debug("Sending ConnectRejected to %s from %s", request.from.c_str(),
                       request.to.c_str());
        sendCommand(protocol::ConnectRejected{}, request.from, false, false, [](bool) {});
    }
}

// Helpers.

void Connection::sendCommand(const protocol::Command& command, const std::string& to,
                             bool toListener, bool quiet, std::function<void(bool)> onResult) {
    std::string text;
    json_serialize(command, text);
    std::weak_ptr<bool> alive = alive_;
    dataLink_->send(
        to, text,
        [alive, onResult = std::move(onResult)](bool queued) {
            if (alive.lock()) {
                onResult(queued);
            }
        },
        toListener, quiet);
}

void Connection::setName(const std::string& peer) {
    name_ = peer;
    logger_->setSubName(linkName() + ":" + name_);
}

void Connection::setListening() {
    logger_->setSubName(linkName() + ":Listener");
    listening_ = true;
}

void Connection::startTimer() {
    timerStarted_ = true;
    queue_->push(
        [this](bool& reschedule, unsigned long) {
            if (timerStarted_) {
                dispatch(Timer{});
                reschedule = true;
            }
        },
        kTimerInterval, 0);
}

std::int64_t Connection::nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace interprocess
