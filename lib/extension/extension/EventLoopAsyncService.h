#pragma once

#include "network/AsyncService.h"

namespace extension {

// The service of the event-loop environment: it never starts a thread, so
// every completion runs inside its owner's polls, on its owner's thread.
class EventLoopAsyncService : public network::AsyncService {
public:
    EventLoopAsyncService();
};

}  // namespace extension
