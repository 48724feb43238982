#include "extension/EventLoopAsyncService.h"

namespace extension {

EventLoopAsyncService::EventLoopAsyncService()
    : network::AsyncService(true, "EventLoopAsyncService", {}) {}

}  // namespace extension
