#pragma once

#include <sys/types.h>

#include "helper/ApplicationType.h"

namespace interprocess {

// Which local user may speak as which kind of process, the one table that the
// links consult before they take a peer's word for its kind:
//
//   kind                                             runs as
//   Unattended, UnattendedUpdater, RemoteControl,    root only (the agent's
//   RemoteExecutionRunner, ProcessChecker,           daemon and what it starts
//   LoggerProcess                                    or serves)
//   Attended, AttendedUi, UnattendedUi,              any user (the logged-in
//   CustomerAttendedApp, CustomerAttendedAppUi,      user's session), root too
//   ComponentTest
//   None, MAX                                        nobody
//
// A server refuses a greeting that claims a kind its peer's user may not run;
// a client connects only to a server of root or of its own user, and a
// sender writes only into a queue its addressee's user may own.
class KindUsers {
public:
    static bool isRootOnly(helper::ApplicationType kind);
    // Whether a process of user `uid` may be of `kind`.
    static bool mayRun(helper::ApplicationType kind, uid_t uid);
    // Whether a client of effective user `self` may take a server of user
    // `owner` for the peer of `kind`: root's always, the own user's unless
    // the kind runs as root only.
    static bool mayHost(helper::ApplicationType kind, uid_t owner, uid_t self);
    // Whether a sender of effective user `self` may take a queue of user
    // `owner` for the queue of `kind`: as mayHost, and root also writes into
    // the queue of any user's process of a kind that users run.
    static bool mayOwnQueue(helper::ApplicationType kind, uid_t owner, uid_t self);
};

}  // namespace interprocess
