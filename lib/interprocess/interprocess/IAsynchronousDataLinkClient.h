#pragma once

#include <string>

#include "interprocess/protocol/Command.h"

namespace interprocess {

// An observer of the asynchronous data link: told of every message the
// process receives, it decides whether the message concerns it.
class IAsynchronousDataLinkClient {
public:
    virtual ~IAsynchronousDataLinkClient() = default;

    virtual void onDataLinkMessage(const std::string from, bool toListener,
                                   const protocol::Command message) = 0;
    // A message whose sender waits for the acknowledgement; sets `taken` when
    // this client took it, and only then is the acknowledgement sent.
    virtual void onDataLinkSyncMessage(const std::string from, bool toListener,
                                       const protocol::Command message, bool& taken) = 0;
};

}  // namespace interprocess
