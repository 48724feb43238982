#pragma once

#include <string>

#include "helper/ApplicationType.h"

namespace interprocess {

// Observer of an inter-process controller.
class IIpcControllerClient {
public:
    virtual ~IIpcControllerClient() = default;

    // The own end is listening under `name`.
    virtual void onIpcReady(const std::string name) = 0;
    virtual void onParticipantConnected(const std::string name) = 0;
    virtual void onParticipantDisconnected(const std::string name) = 0;
    virtual void onMessageReceived(const helper::ApplicationType from, const std::string json) = 0;
    // A text sent synchronously, already acknowledged.
    virtual void onSyncMessageReceived(const helper::ApplicationType from,
                                       const std::string json) = 0;
    // A text that send took but cannot keep: it will never be sent. Told on
    // the sender's thread, before send returns.
    virtual void onMessageNotSent(const helper::ApplicationType /*to*/,
                                  const std::string /*json*/) {}
};

}  // namespace interprocess
