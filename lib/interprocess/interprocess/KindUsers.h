#pragma once

#include <sys/types.h>

#include <string>

#include "helper/ApplicationType.h"

namespace interprocess {

// Which local user may speak as which kind of process, the one table that the
// links consult before they take a peer's word for its kind:
//
//   kind                                             runs as
//   Unattended, UnattendedUpdater, RemoteControl,    root only (the agent's
//   RemoteExecutionRunner, ProcessChecker,           daemon and what it starts
//   LoggerProcess                                    or serves)
//   AttendedUi, UnattendedUi, CustomerAttendedAppUi  root, or one user: the
//                                                    session's (SessionUser) as
//                                                    root sees it, the own
//                                                    user as a user's process
//                                                    sees it
//   Attended, CustomerAttendedApp, ComponentTest     any user, each its own;
//                                                    root links with the
//                                                    session user's
//   None, MAX                                        nobody
//
// A process of a kind users run is named with its user: its socket and its
// queue are "<Kind>.<uid>", so that no user takes another's name. Root links
// with the session user's process of such a kind, a user's process with its
// own user's. The peer of a root-only kind is root's; the peer of a kind
// users run is root's or that one user's: a server refuses a greeting from
// any other user, a client connects only to a server of those users, a
// sender writes only into a queue one of them owns (another user's records
// for a root process going into that user's inbox beside it, UserInboxes),
// and a text waiting for a peer goes only to the user it was meant for.
class KindUsers {
public:
    static bool isRootOnly(helper::ApplicationType kind);
    // The kinds whose processes users run, root-only kinds and None not.
    static bool isRunByUsers(helper::ApplicationType kind);
    // The user whose process of `kind` a process of effective user `self`
    // links with, while `session` owns the local session: root for a
    // root-only kind; for a kind users run `self`, or for root `session`;
    // `self` for a name that is no kind.
    static uid_t userOf(helper::ApplicationType kind, uid_t self, uid_t session);
    // Whether a peer of user `peer` may be the process of `kind` that a
    // process of user `self` links with: root's, or userOf's. A greeting, the
    // server a client reaches and the queue a record goes into are judged so.
    static bool mayBe(helper::ApplicationType kind, uid_t peer, uid_t self, uid_t session);
    // mayBe for a greeting, with the session's user now; None and MAX never.
    static bool mayGreet(helper::ApplicationType kind, uid_t peer, uid_t self);
    // mayBe for the owner of a server or queue, with the session's user now.
    static bool mayHost(helper::ApplicationType kind, uid_t owner, uid_t self);
    static bool mayOwnQueue(helper::ApplicationType kind, uid_t owner, uid_t self);
    // The name of the socket or queue of process `name` of user `user`:
    // "<name>.<uid>" for a kind users run, `name` itself otherwise.
    static std::string nameWithUser(const std::string& name, uid_t user);
    // The own process's name so, and the name of the peer `name` that this
    // process (of effective user `self`) links with.
    static std::string ownName(const std::string& name, uid_t self);
    static std::string peerName(const std::string& name, uid_t self);
};

}  // namespace interprocess
