#pragma once

#include <sys/types.h>

#include "interprocess/SessionUser.h"

namespace interprocesstest {

// Names the local session's user in this process for the object's life;
// root (that is, no user's session) before and after, whatever machine the
// tests run on.
class SessionOf {
public:
    explicit SessionOf(uid_t user) {
        interprocess::SessionUser::setSource([user] { return user; });
    }
    ~SessionOf() { interprocess::SessionUser::setSource([] { return uid_t{0}; }); }
    SessionOf(const SessionOf&) = delete;
    SessionOf& operator=(const SessionOf&) = delete;
};

}  // namespace interprocesstest
