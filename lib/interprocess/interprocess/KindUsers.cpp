#include "interprocess/KindUsers.h"

#include "interprocess/SessionUser.h"

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

bool KindUsers::isRunByUsers(ApplicationType kind) {
    return kind > ApplicationType::None && kind < ApplicationType::MAX && !isRootOnly(kind);
}

uid_t KindUsers::userOf(ApplicationType kind, uid_t self, uid_t session) {
    if (isRootOnly(kind)) {
        return 0;
    }
    if (isRunByUsers(kind) && self == 0) {
        return session;
    }
    return self;
}

bool KindUsers::mayBe(ApplicationType kind, uid_t peer, uid_t self, uid_t session) {
    return peer == 0 || peer == userOf(kind, self, session);
}

bool KindUsers::mayGreet(ApplicationType kind, uid_t peer, uid_t self) {
    return kind > ApplicationType::None && kind < ApplicationType::MAX &&
           mayBe(kind, peer, self, SessionUser::current());
}

bool KindUsers::mayHost(ApplicationType kind, uid_t owner, uid_t self) {
    return mayBe(kind, owner, self, SessionUser::current());
}

bool KindUsers::mayOwnQueue(ApplicationType kind, uid_t owner, uid_t self) {
    return mayHost(kind, owner, self);
}

std::string KindUsers::nameWithUser(const std::string& name, uid_t user) {
    return isRunByUsers(helper::fromString(name)) ? name + "." + std::to_string(user) : name;
}

std::string KindUsers::ownName(const std::string& name, uid_t self) {
    return nameWithUser(name, self);
}

std::string KindUsers::peerName(const std::string& name, uid_t self) {
    return nameWithUser(name, userOf(helper::fromString(name), self, SessionUser::current()));
}

}  // namespace interprocess
