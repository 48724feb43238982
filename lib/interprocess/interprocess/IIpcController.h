#pragma once

#include <functional>
#include <string>

#include "common/Stoppable.h"
#include "common/utils/Observable.h"
#include "helper/ApplicationType.h"
#include "interprocess/IIpcControllerClient.h"

namespace interprocess {

// How an application talks to the product family's other processes.
class IIpcController : public common::Observable<IIpcControllerClient>, public common::Stoppable {
public:
    ~IIpcController() override = default;

    // Brings up the own end; true when it can receive.
    virtual bool start() = 0;
    // Delivers one JSON text to the peer of that kind, now or once it is
    // connected; false for an empty text.
    virtual bool send(const helper::ApplicationType& to, const std::string& json) = 0;
    virtual void connectToService(const std::string& name, std::function<void(bool)> callback) = 0;
    virtual void disconnectApplication(const helper::ApplicationType& peer, bool flag) = 0;
    // Sends and waits for the peer's acknowledgement.
    virtual bool sendSync(const helper::ApplicationType to, const std::string json) = 0;
    virtual void disconnect() = 0;
};

}  // namespace interprocess
