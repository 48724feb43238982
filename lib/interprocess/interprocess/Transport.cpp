#include "interprocess/Transport.h"

#include <stdexcept>

#include "common/utils/RandomString.h"
#include "interprocess/JsonSerialization.h"
#include "interprocess/TransportEnvelope.h"

namespace interprocess {

Transport::Transport(std::unique_ptr<IConnection> connection,
                     std::unique_ptr<common::ITaskQueue> queue,
                     std::unique_ptr<common::ILogger> logger, Clock clock)
    : connection_(std::move(connection)),
      queue_(std::move(queue)),
      logger_(std::move(logger)),
      clock_(clock ? std::move(clock) : Clock(&std::chrono::steady_clock::now)) {
    connection_->setDelegate(this);
    queue_->push([this](bool& reschedule, unsigned long) { onResendTimer(reschedule); },
                 kResendInterval, 0);
}

Transport::~Transport() {
    connection_->setDelegate(nullptr);
    running_ = false;
    queue_->finish([](bool&, unsigned long) {}, false);
    queue_.reset();
    auto kept = std::move(unacknowledged_);
    for (auto& message : kept) {
        message.callback(false);
    }
}

void Transport::connect(const std::string& to, std::function<void(bool)> callback) {
    connection_->connect(to, std::move(callback));
}

void Transport::disconnect() {
    connection_->disconnect();
}

void Transport::listen() {
    connection_->listen();
}

void Transport::send(const std::string& json, const QOS& qos, std::function<void(bool)> callback) {
    logger_->trace("send message: '%s'", json.c_str());
    switch (qos) {
        case QOS::MostOnce:
            sendMostOnce(json, std::move(callback));
            return;
        case QOS::LeastOnce:
            sendLeastOnce(json, std::move(callback));
            return;
        case QOS::ExactlyOnce:
            throw std::logic_error("not implemented");
    }
    callback(false);
}

bool Transport::sendSync(const std::string& json) {
    return connection_->sendSync(
        envelope(common::randomString(kIdLength, common::kAlphanumericAlphabet), json));
}

std::string Transport::linkName() const {
    return connection_->linkName();
}

std::string Transport::name() const {
    return connection_->name();
}

std::string Transport::envelope(const std::string& id, const std::string& json) {
    std::string text;
    json_serialize(transport::Envelope(transport::Message{id, json}), text);
    return text;
}

void Transport::sendMostOnce(const std::string& json, std::function<void(bool)> callback) {
    connection_->send(envelope(common::randomString(kIdLength, common::kAlphanumericAlphabet), json),
                      std::move(callback));
}

void Transport::sendLeastOnce(const std::string& json, std::function<void(bool)> callback) {
    Kept message{common::randomString(kIdLength, common::kAlphanumericAlphabet), json,
                 std::move(callback), clock_()};
    const auto text = envelope(message.id, json);
    unacknowledged_.push_back(std::move(message));
    connection_->send(text, [](bool) {});
}

void Transport::onResendTimer(bool& reschedule) {
    if (!running_) {
        return;
    }
    for (auto it = unacknowledged_.begin(); it != unacknowledged_.end();) {
        if (clock_() - it->time < kMaxAge) {
            connection_->send(envelope(it->id, it->json), [](bool) {});
            ++it;
        } else {
            auto callback = std::move(it->callback);
            it = unacknowledged_.erase(it);
            callback(false);
        }
    }
    reschedule = true;
}

void Transport::acknowledge(const std::string& id) {
    for (auto it = unacknowledged_.begin(); it != unacknowledged_.end(); ++it) {
        if (it->id == id) {
            auto callback = std::move(it->callback);
            unacknowledged_.erase(it);
            callback(true);
            return;
        }
    }
}

void Transport::received(const std::string& text, bool sync) {
    transport::Envelope read;
    if (!json_deserialize(text, read)) {
        return;
    }
    if (const auto* ack = std::get_if<transport::Ack>(&read)) {
        acknowledge(ack->id);
        return;
    }
    if (!hasDelegate()) {
        return;
    }
    const auto& message = std::get<transport::Message>(read);
    if (sync) {
        delegate()->onTransportSyncDataReceived(*this, message.json);
    } else {
        delegate()->onTransportDataReceived(*this, message.json);
    }
}

void Transport::onConnectionDisconnected(IConnection&) {
    if (hasDelegate()) delegate()->onTransportDisconnected(*this);
}

void Transport::onConnectionConnecting(IConnection&) {
    if (hasDelegate()) delegate()->onTransportConnecting(*this);
}

void Transport::onConnectionConnected(IConnection&) {
    if (hasDelegate()) delegate()->onTransportConnected(*this);
}

void Transport::onConnectionDisconnecting(IConnection&) {
    if (hasDelegate()) delegate()->onTransportDisconnecting(*this);
}

void Transport::onConnectionListening(IConnection&) {
    if (hasDelegate()) delegate()->onTransportListening(*this);
}

void Transport::onConnectionRequest(IConnection&, const std::string peer) {
    if (hasDelegate()) delegate()->onTransportConnectionRequest(*this, peer);
}

void Transport::onConnectionDataReceived(IConnection&, const std::string text) {
    received(text, false);
}

void Transport::onConnectionSyncDataReceived(IConnection&, const std::string text) {
    received(text, true);
}

}  // namespace interprocess
