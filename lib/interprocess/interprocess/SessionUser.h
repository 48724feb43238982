#pragma once

#include <sys/types.h>

#include <functional>

namespace interprocess {

// The owner of the machine's active local session, the one user besides root
// whose processes may be the user interfaces a root process talks to: the
// user of logind's active session on seat0 (a session of class "user"), else
// the owner of the console; root when neither names a user.
//
// Tests name the session's user through setSource, a call inside the process:
// nothing another user can change (environment, files) decides it.
class SessionUser {
public:
    using Source = std::function<uid_t()>;

    static uid_t current();
    // Where current() looks from now on; an empty source restores the system.
    static void setSource(Source source);
    // What logind and the console say.
    static uid_t fromSystem();
};

}  // namespace interprocess
