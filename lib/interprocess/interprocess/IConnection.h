#pragma once

#include <functional>
#include <string>

#include "common/delegate/Delegate.h"
#include "interprocess/IConnectionDelegate.h"

namespace interprocess {

// One named link between this process and one peer process.
class IConnection : public common::Delegate<IConnectionDelegate> {
public:
    ~IConnection() override = default;

    // `callback` tells, once, whether the link came up.
    virtual void connect(const std::string& to, std::function<void(bool)> callback) = 0;
    virtual void disconnect() = 0;
    virtual void listen() = 0;
    // `callback` tells, once, whether the text was handed to the data link.
    virtual void send(const std::string& text, std::function<void(bool)> callback) = 0;
    // True when the peer acknowledged the text (within 6 s); connected only.
    virtual bool sendSync(const std::string& text) = 0;
    // The own process's name.
    virtual std::string linkName() = 0;
    // The peer's name; empty when idle or listening.
    virtual std::string name() = 0;
};

}  // namespace interprocess
