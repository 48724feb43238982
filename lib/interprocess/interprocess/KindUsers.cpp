#include "interprocess/KindUsers.h"

namespace interprocess {

using helper::ApplicationType;

bool KindUsers::isRootOnly(ApplicationType kind) {
    switch (kind) {
        case ApplicationType::Unattended:
        case ApplicationType::UnattendedUpdater:
        case ApplicationType::RemoteControl:
        case ApplicationType::RemoteExecutionRunner:
        case ApplicationType::ProcessChecker:
        case ApplicationType::LoggerProcess:
            return true;
        default:
            return false;
    }
}

bool KindUsers::mayRun(ApplicationType kind, uid_t uid) {
    if (kind <= ApplicationType::None || kind >= ApplicationType::MAX) {
        return false;
    }
    return uid == 0 || !isRootOnly(kind);
}

bool KindUsers::mayHost(ApplicationType kind, uid_t owner, uid_t self) {
    return owner == 0 || (owner == self && !isRootOnly(kind));
}

bool KindUsers::mayOwnQueue(ApplicationType kind, uid_t owner, uid_t self) {
    return mayHost(kind, owner, self) || (self == 0 && !isRootOnly(kind));
}

}  // namespace interprocess
