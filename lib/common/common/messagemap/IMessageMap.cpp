#include "common/messagemap/IMessageMap.h"

#include "common/messagemap/MessageMap.h"

namespace common {

std::unique_ptr<IMessageMap> IMessageMap::create() {
    return std::make_unique<MessageMap>();
}

}  // namespace common
