#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/delegate/Delegate.h"
#include "interprocess/ITransportDelegate.h"

namespace interprocess {

// A message service over one connection, with a delivery guarantee chosen
// per message.
class ITransport : public common::Delegate<ITransportDelegate> {
public:
    enum class QOS : std::int32_t {
        MostOnce = 0,     // sent once; the callback gets the send's result
        LeastOnce = 1,    // re-sent every second until acknowledged or 6 s old
        ExactlyOnce = 2,  // not implemented: send throws std::logic_error
    };

    ~ITransport() override = default;

    virtual void connect(const std::string& to, std::function<void(bool)> callback) = 0;
    virtual void disconnect() = 0;
    virtual void listen() = 0;
    virtual void send(const std::string& json, const QOS& qos,
                      std::function<void(bool)> callback = [](bool) {}) = 0;
    virtual bool sendSync(const std::string& json) = 0;
    virtual std::string linkName() const = 0;
    // The peer's name; empty for a listening transport.
    virtual std::string name() const = 0;
};

}  // namespace interprocess
